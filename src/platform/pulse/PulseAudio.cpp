#include "PulseAudio.h"

#include <algorithm>
#include <pulse/context.h>
#include <pulse/error.h>
#include <pulse/introspect.h>
#include <pulse/mainloop.h>
#include <pulse/volume.h>
#include <variant>

namespace pulse {

namespace {

using Clock = std::chrono::steady_clock;

constexpr char kDefaultSink[] = "@DEFAULT_SINK@";
constexpr char kDefaultSource[] = "@DEFAULT_SOURCE@";

std::string text(const char* value) {
    return value ? std::string(value) : std::string();
}

// What an introspection call collects. The callbacks run inside our own loop iterations only.
struct DeviceQuery {
    std::vector<Device> devices;
    int error = 0; // the context's error number when the server refused
};

template <typename Info>
void collectDevice(pa_context* context, const Info* info, int eol, void* data) {
    auto* query = static_cast<DeviceQuery*>(data);
    if (eol < 0) {
        query->error = pa_context_errno(context);
        return;
    }
    if (eol > 0 || !info)
        return;
    Device device{info->index, text(info->name), text(info->description), false};
    if constexpr (std::is_same_v<Info, pa_source_info>)
        device.monitor = info->monitor_of_sink != PA_INVALID_INDEX;
    query->devices.push_back(std::move(device));
}

struct Stream {
    std::uint32_t index;
    std::uint32_t device;
};

struct StreamQuery {
    std::vector<Stream> streams;
    int error = 0;
};

void collectSinkInput(pa_context* context, const pa_sink_input_info* info, int eol, void* data) {
    auto* query = static_cast<StreamQuery*>(data);
    if (eol < 0)
        query->error = pa_context_errno(context);
    else if (eol == 0 && info)
        query->streams.push_back({info->index, info->sink});
}

void collectSourceOutput(pa_context* context, const pa_source_output_info* info, int eol,
                         void* data) {
    auto* query = static_cast<StreamQuery*>(data);
    if (eol < 0)
        query->error = pa_context_errno(context);
    else if (eol == 0 && info)
        query->streams.push_back({info->index, info->source});
}

struct SinkState {
    pa_cvolume volume{};
    bool muted = false;
    bool found = false;
    int error = 0;
};

void collectSinkState(pa_context* context, const pa_sink_info* info, int eol, void* data) {
    auto* state = static_cast<SinkState*>(data);
    if (eol < 0) {
        state->error = pa_context_errno(context);
        return;
    }
    if (eol > 0 || !info)
        return;
    state->volume = info->volume;
    state->muted = info->mute != 0;
    state->found = true;
}

void recordSuccess(pa_context*, int success, void* data) {
    *static_cast<int*>(data) = success;
}

} // namespace

struct PulseAudio::Impl {
    std::chrono::milliseconds timeout;
    pa_mainloop* loop = nullptr;
    pa_context* context = nullptr;
    Clock::time_point deadline;

    explicit Impl(std::chrono::milliseconds limit) : timeout(limit), loop(pa_mainloop_new()) {
        if (!loop)
            throw PulseError("pa_mainloop_new: out of memory");
    }

    ~Impl() {
        disconnect();
        pa_mainloop_free(loop);
    }

    void disconnect() {
        if (!context)
            return;
        pa_context_disconnect(context);
        pa_context_unref(context);
        context = nullptr;
    }

    [[noreturn]] void fail(const std::string& call, int error) {
        const std::string message = call + ": " + pa_strerror(error);
        if (context && pa_context_get_state(context) != PA_CONTEXT_READY)
            disconnect();
        throw PulseError(message);
    }

    [[noreturn]] void failOnContext(const std::string& call) {
        fail(call, context ? pa_context_errno(context) : PA_ERR_INTERNAL);
    }

    [[noreturn]] void timedOut(const std::string& call) {
        // A server that stopped answering gets a fresh connection next time.
        disconnect();
        throw PulseError(call + ": timed out");
    }

    // One pass of the loop that waits no later than the deadline; false once it has passed.
    bool iterate() {
        const auto left =
            std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            return false;
        if (pa_mainloop_prepare(loop, static_cast<int>(left.count())) < 0 ||
            pa_mainloop_poll(loop) < 0 || pa_mainloop_dispatch(loop) < 0)
            return false;
        return true;
    }

    // Starts the time budget of one public call and makes sure the context is ready.
    void begin() {
        deadline = Clock::now() + timeout;
        if (context && pa_context_get_state(context) == PA_CONTEXT_READY)
            return;
        disconnect();
        context = pa_context_new(pa_mainloop_get_api(loop), "vantor-companion");
        if (!context)
            throw PulseError("pa_context_new: out of memory");
        if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
            failOnContext("pa_context_connect");
        for (;;) {
            switch (pa_context_get_state(context)) {
            case PA_CONTEXT_READY:
                return;
            case PA_CONTEXT_FAILED:
            case PA_CONTEXT_TERMINATED:
                failOnContext("pa_context_connect");
            case PA_CONTEXT_UNCONNECTED:
            case PA_CONTEXT_CONNECTING:
            case PA_CONTEXT_AUTHORIZING:
            case PA_CONTEXT_SETTING_NAME:
                break;
            }
            if (!iterate())
                timedOut("pa_context_connect");
        }
    }

    // Runs the loop until the operation completes and releases it. A context that fails meanwhile
    // cancels its operations, which ends the wait too.
    void wait(pa_operation* operation, const std::string& call) {
        if (!operation)
            failOnContext(call);
        pa_operation_state_t state = pa_operation_get_state(operation);
        while (state == PA_OPERATION_RUNNING && iterate())
            state = pa_operation_get_state(operation);
        if (state == PA_OPERATION_RUNNING)
            pa_operation_cancel(operation);
        pa_operation_unref(operation);
        if (state == PA_OPERATION_RUNNING)
            timedOut(call);
        if (state != PA_OPERATION_DONE)
            failOnContext(call);
    }

    using Selector = std::variant<std::monostate, std::uint32_t, std::string>; // all, index, name

    std::vector<Device> query(DeviceKind kind, const Selector& which) {
        begin();
        DeviceQuery result;
        pa_operation* operation = nullptr;
        const bool sink = kind == DeviceKind::Sink;
        if (std::holds_alternative<std::monostate>(which)) {
            operation =
                sink ? pa_context_get_sink_info_list(context, collectDevice<pa_sink_info>, &result)
                     : pa_context_get_source_info_list(context, collectDevice<pa_source_info>,
                                                       &result);
        } else if (const auto* index = std::get_if<std::uint32_t>(&which)) {
            operation = sink ? pa_context_get_sink_info_by_index(
                                   context, *index, collectDevice<pa_sink_info>, &result)
                             : pa_context_get_source_info_by_index(
                                   context, *index, collectDevice<pa_source_info>, &result);
        } else {
            const char* name = std::get<std::string>(which).c_str();
            operation = sink ? pa_context_get_sink_info_by_name(
                                   context, name, collectDevice<pa_sink_info>, &result)
                             : pa_context_get_source_info_by_name(
                                   context, name, collectDevice<pa_source_info>, &result);
        }
        const std::string call = sink ? "pa_context_get_sink_info" : "pa_context_get_source_info";
        wait(operation, call);
        if (result.error == PA_ERR_NOENTITY && std::holds_alternative<std::uint32_t>(which))
            return {};
        if (result.error)
            fail(call, result.error);
        return std::move(result.devices);
    }

    void expectSuccess(pa_operation* operation, const int& success, const std::string& call) {
        wait(operation, call);
        if (!success)
            failOnContext(call);
    }

    SinkState defaultSinkState() {
        begin();
        SinkState state;
        wait(pa_context_get_sink_info_by_name(context, kDefaultSink, collectSinkState, &state),
             "pa_context_get_sink_info_by_name");
        if (state.error || !state.found)
            fail("pa_context_get_sink_info_by_name", state.error ? state.error : PA_ERR_NOENTITY);
        return state;
    }
};

PulseAudio::PulseAudio(std::chrono::milliseconds timeout) : m(std::make_unique<Impl>(timeout)) {}

PulseAudio::~PulseAudio() = default;

std::vector<Device> PulseAudio::devices(DeviceKind kind) {
    return m->query(kind, std::monostate{});
}

std::vector<Device> PulseAudio::playbackOrCaptureDevices(DeviceKind kind) {
    std::vector<Device> all = devices(kind);
    std::erase_if(all, [](const Device& device) { return device.monitor; });
    return all;
}

std::optional<Device> PulseAudio::device(DeviceKind kind, std::uint32_t index) {
    std::vector<Device> found = m->query(kind, index);
    if (found.empty())
        return std::nullopt;
    return std::move(found.front());
}

Device PulseAudio::defaultDevice(DeviceKind kind) {
    std::vector<Device> found =
        m->query(kind, std::string(kind == DeviceKind::Sink ? kDefaultSink : kDefaultSource));
    if (found.empty())
        throw PulseError("pa_context_get_server_info: no default device");
    return std::move(found.front());
}

void PulseAudio::setDefaultDevice(DeviceKind kind, const std::string& name) {
    m->begin();
    int success = 0;
    if (kind == DeviceKind::Sink)
        m->expectSuccess(
            pa_context_set_default_sink(m->context, name.c_str(), recordSuccess, &success), success,
            "pa_context_set_default_sink");
    else
        m->expectSuccess(
            pa_context_set_default_source(m->context, name.c_str(), recordSuccess, &success),
            success, "pa_context_set_default_source");
}

int PulseAudio::moveStreamsTo(DeviceKind kind, std::uint32_t index) {
    const bool sink = kind == DeviceKind::Sink;
    // A recording of what a sink plays (a level meter, a screen recorder) stays on its monitor.
    std::vector<std::uint32_t> monitors;
    if (!sink)
        for (const Device& source : devices(DeviceKind::Source))
            if (source.monitor)
                monitors.push_back(source.index);

    m->begin();
    StreamQuery query;
    const std::string listCall =
        sink ? "pa_context_get_sink_input_info_list" : "pa_context_get_source_output_info_list";
    m->wait(sink ? pa_context_get_sink_input_info_list(m->context, collectSinkInput, &query)
                 : pa_context_get_source_output_info_list(m->context, collectSourceOutput, &query),
            listCall);
    if (query.error)
        m->fail(listCall, query.error);

    int moved = 0;
    for (const Stream& stream : query.streams) {
        if (stream.device == index ||
            std::find(monitors.begin(), monitors.end(), stream.device) != monitors.end())
            continue;
        int success = 0;
        pa_operation* operation =
            sink ? pa_context_move_sink_input_by_index(m->context, stream.index, index,
                                                       recordSuccess, &success)
                 : pa_context_move_source_output_by_index(m->context, stream.index, index,
                                                          recordSuccess, &success);
        try {
            m->expectSuccess(operation, success,
                             sink ? "pa_context_move_sink_input_by_index"
                                  : "pa_context_move_source_output_by_index");
            ++moved;
        } catch (const PulseError&) {
            // A stream that ended meanwhile or does not allow moving stays where it is; a lost
            // server ends the loop.
            if (!m->context)
                throw;
        }
    }
    return moved;
}

int PulseAudio::defaultSinkVolumePercent() {
    const SinkState state = m->defaultSinkState();
    const auto loudest = static_cast<std::uint64_t>(pa_cvolume_max(&state.volume));
    return static_cast<int>((loudest * 100 + PA_VOLUME_NORM / 2) / PA_VOLUME_NORM);
}

void PulseAudio::setDefaultSinkVolumePercent(int percent) {
    SinkState state = m->defaultSinkState();
    const std::uint64_t wanted =
        (static_cast<std::uint64_t>(std::max(percent, 0)) * PA_VOLUME_NORM + 50) / 100;
    pa_cvolume_scale(&state.volume,
                     static_cast<pa_volume_t>(std::min<std::uint64_t>(wanted, PA_VOLUME_MAX)));
    int success = 0;
    m->expectSuccess(pa_context_set_sink_volume_by_name(m->context, kDefaultSink, &state.volume,
                                                        recordSuccess, &success),
                     success, "pa_context_set_sink_volume_by_name");
}

bool PulseAudio::defaultSinkMuted() {
    return m->defaultSinkState().muted;
}

void PulseAudio::setDefaultSinkMuted(bool muted) {
    m->begin();
    int success = 0;
    m->expectSuccess(pa_context_set_sink_mute_by_name(m->context, kDefaultSink, muted ? 1 : 0,
                                                      recordSuccess, &success),
                     success, "pa_context_set_sink_mute_by_name");
}

} // namespace pulse
