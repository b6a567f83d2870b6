#include "PulseAudio.h"

#include <algorithm>
#include <functional>
#include <pulse/context.h>
#include <pulse/error.h>
#include <pulse/introspect.h>
#include <pulse/mainloop.h>
#include <pulse/subscribe.h>
#include <pulse/volume.h>
#include <variant>

namespace pulse {

namespace {

using Clock = std::chrono::steady_clock;

constexpr char kDefaultSink[] = "@DEFAULT_SINK@";
constexpr char kDefaultSource[] = "@DEFAULT_SOURCE@";
// How long a change may take to show. PipeWire's pulse server was seen reporting a new default
// 2 to 26 ms after acknowledging it; a server that still shows the old state after this kept it.
constexpr auto kConfirmWait = std::chrono::milliseconds(1000);
// A volume read back may differ from the one set by the server's rounding (PipeWire keeps
// volumes as floats): half a percent apart counts as the same.
constexpr pa_volume_t kVolumeSlack = PA_VOLUME_NORM / 200;

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
    std::uint32_t index = PA_INVALID_INDEX;
    std::string description;
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
    state->index = info->index;
    state->description = text(info->description);
    state->volume = info->volume;
    state->muted = info->mute != 0;
    state->found = true;
}

void recordSuccess(pa_context*, int success, void* data) {
    *static_cast<int*>(data) = success;
}

struct ServerDefaults {
    std::string sink;
    std::string source;
};

void collectServerInfo(pa_context*, const pa_server_info* info, void* data) {
    if (!info)
        return;
    auto* defaults = static_cast<ServerDefaults*>(data);
    defaults->sink = text(info->default_sink_name);
    defaults->source = text(info->default_source_name);
}

bool sameVolume(const pa_cvolume& a, const pa_cvolume& b) {
    if (a.channels != b.channels)
        return false;
    for (unsigned channel = 0; channel < a.channels; ++channel)
        if (std::max(a.values[channel], b.values[channel]) -
                std::min(a.values[channel], b.values[channel]) >
            kVolumeSlack)
            return false;
    return true;
}

} // namespace

struct PulseAudio::Impl {
    std::chrono::milliseconds timeout;
    pa_mainloop* loop = nullptr;
    pa_context* context = nullptr;
    Clock::time_point deadline;
    bool lost = false; // the context failed or ended since it was made
    int events = 0;    // change events reported while a change is being confirmed

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
        pa_context_set_state_callback(context, nullptr, nullptr);
        pa_context_set_subscribe_callback(context, nullptr, nullptr);
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

    static void onState(pa_context* changed, void* data) {
        if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(changed)))
            static_cast<Impl*>(data)->lost = true;
    }

    static void onEvent(pa_context*, pa_subscription_event_type_t, std::uint32_t, void* data) {
        ++static_cast<Impl*>(data)->events;
    }

    // One pass of the loop that waits no later than `until` (the call's deadline unless given);
    // false once it has passed.
    bool iterate(std::optional<Clock::time_point> until = std::nullopt) {
        const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
            until.value_or(deadline) - Clock::now());
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
        if (context) {
            // What arrived while idle is handled without waiting: a hang-up marks the connection
            // lost here, before this call would fail on it. The count bounds a chatty server.
            for (int pass = 0; pass < 64 && !lost; ++pass)
                if (pa_mainloop_iterate(loop, 0, nullptr) <= 0)
                    break;
            if (!lost && pa_context_get_state(context) == PA_CONTEXT_READY)
                return;
        }
        disconnect();
        lost = false;
        context = pa_context_new(pa_mainloop_get_api(loop), "vantor-companion");
        if (!context)
            throw PulseError("pa_context_new: out of memory");
        pa_context_set_state_callback(context, onState, this);
        pa_context_set_subscribe_callback(context, onEvent, this);
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
        return sinkState(nullptr);
    }

    // One sink by index, or the default sink (null).
    SinkState sinkState(const std::uint32_t* index) {
        SinkState state;
        wait(index ? pa_context_get_sink_info_by_index(context, *index, collectSinkState, &state)
                   : pa_context_get_sink_info_by_name(context, kDefaultSink, collectSinkState,
                                                      &state),
             "pa_context_get_sink_info");
        if (state.error || !state.found)
            fail("pa_context_get_sink_info", state.error ? state.error : PA_ERR_NOENTITY);
        return state;
    }

    ServerDefaults serverDefaults() {
        ServerDefaults defaults;
        wait(pa_context_get_server_info(context, collectServerInfo, &defaults),
             "pa_context_get_server_info");
        return defaults;
    }

    std::vector<std::uint32_t> monitors() {
        std::vector<std::uint32_t> found;
        for (const Device& source : query(DeviceKind::Source, std::monostate{}))
            if (source.monitor)
                found.push_back(source.index);
        return found;
    }

    // The sink inputs (sink) or source outputs, each with the device it is on.
    std::vector<Stream> streams(bool sink) {
        begin();
        StreamQuery result;
        const char* call =
            sink ? "pa_context_get_sink_input_info_list" : "pa_context_get_source_output_info_list";
        wait(sink ? pa_context_get_sink_input_info_list(context, collectSinkInput, &result)
                  : pa_context_get_source_output_info_list(context, collectSourceOutput, &result),
             call);
        if (result.error)
            fail(call, result.error);
        return std::move(result.streams);
    }

    // Moves one sink input (sink) or source output; false when it stays where it is (it ended
    // meanwhile or does not allow moving). A lost server fails the call.
    bool move(bool sink, std::uint32_t stream, std::uint32_t device) {
        int success = 0;
        pa_operation* operation = sink ? pa_context_move_sink_input_by_index(
                                             context, stream, device, recordSuccess, &success)
                                       : pa_context_move_source_output_by_index(
                                             context, stream, device, recordSuccess, &success);
        try {
            expectSuccess(operation, success,
                          sink ? "pa_context_move_sink_input_by_index"
                               : "pa_context_move_source_output_by_index");
            return true;
        } catch (const PulseError&) {
            if (!context)
                throw;
            return false;
        }
    }

    // The server's change events for the facilities in `mask`, while one change is confirmed.
    // Unsubscribed again without waiting for the answer: an idle connection gets no events,
    // which would otherwise queue up for it in the server.
    class Watch {
    public:
        Watch(Impl& impl, pa_subscription_mask_t mask) : m_impl(impl) {
            int success = 0;
            impl.expectSuccess(pa_context_subscribe(impl.context, mask, recordSuccess, &success),
                               success, "pa_context_subscribe");
        }
        ~Watch() {
            if (m_impl.context && !m_impl.lost)
                if (pa_operation* operation = pa_context_subscribe(
                        m_impl.context, PA_SUBSCRIPTION_MASK_NULL, nullptr, nullptr))
                    pa_operation_unref(operation);
        }
        Watch(const Watch&) = delete;
        Watch& operator=(const Watch&) = delete;

    private:
        Impl& m_impl;
    };

    // Sends a change (the operation `send` starts, acknowledged through recordSuccess) and waits
    // until `applied` reads it from the server, re-reading after each change event the watch
    // reports; false when the server still shows something else after kConfirmWait (or at the
    // call's deadline, whichever comes first).
    bool change(pa_subscription_mask_t mask, const char* call,
                const std::function<pa_operation*(int*)>& send,
                const std::function<bool()>& applied) {
        const Watch watch(*this, mask);
        int success = 0;
        expectSuccess(send(&success), success, call);
        const Clock::time_point limit = std::min(deadline, Clock::now() + kConfirmWait);
        for (;;) {
            const int seen = events;
            if (applied())
                return true;
            while (events == seen) {
                if (lost)
                    failOnContext(call);
                // A server that answers but reports nothing new has kept its state, even when the
                // wait ends with the call's budget (a helper's is no longer than kConfirmWait).
                if (!iterate(limit))
                    return false;
            }
        }
    }

    // A sink change that must show, or the call fails with a text naming the sink.
    void changeSink(const SinkState& sink, const char* call, const char* what,
                    const std::function<pa_operation*(int*)>& send,
                    const std::function<bool(const SinkState&)>& applied) {
        if (!change(PA_SUBSCRIPTION_MASK_SINK, call, send,
                    [&] { return applied(sinkState(&sink.index)); }))
            throw PulseError(call + std::string(": the sound server did not apply the ") + what +
                             " to " + sink.description);
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

bool PulseAudio::setDefaultDevice(DeviceKind kind, const std::string& name) {
    m->begin();
    const bool sink = kind == DeviceKind::Sink;
    return m->change(
        // The devices' events too: any change the server reports re-reads its default.
        static_cast<pa_subscription_mask_t>(
            PA_SUBSCRIPTION_MASK_SERVER |
            (sink ? PA_SUBSCRIPTION_MASK_SINK : PA_SUBSCRIPTION_MASK_SOURCE)),
        sink ? "pa_context_set_default_sink" : "pa_context_set_default_source",
        [&](int* success) {
            return sink ? pa_context_set_default_sink(m->context, name.c_str(), recordSuccess,
                                                      success)
                        : pa_context_set_default_source(m->context, name.c_str(), recordSuccess,
                                                        success);
        },
        [&] {
            const ServerDefaults defaults = m->serverDefaults();
            return (sink ? defaults.sink : defaults.source) == name;
        });
}

void PulseAudio::keepMonitorRecordings() {
    const std::vector<std::uint32_t> monitors = m->monitors();
    for (const Stream& stream : m->streams(false))
        // A move onto the monitor it already records is what marks it as placed by hand.
        if (std::find(monitors.begin(), monitors.end(), stream.device) != monitors.end())
            m->move(false, stream.index, stream.device);
}

int PulseAudio::moveStreamsTo(DeviceKind kind, std::uint32_t index) {
    const bool sink = kind == DeviceKind::Sink;
    // A recording of what a sink plays (a level meter, a screen recorder) stays on its monitor.
    const std::vector<std::uint32_t> monitors = sink ? std::vector<std::uint32_t>() : m->monitors();
    int moved = 0;
    for (const Stream& stream : m->streams(sink))
        if (stream.device != index &&
            std::find(monitors.begin(), monitors.end(), stream.device) == monitors.end() &&
            m->move(sink, stream.index, index))
            ++moved;
    return moved;
}

int PulseAudio::defaultSinkVolumePercent() {
    const SinkState state = m->defaultSinkState();
    const auto loudest = static_cast<std::uint64_t>(pa_cvolume_max(&state.volume));
    return static_cast<int>((loudest * 100 + PA_VOLUME_NORM / 2) / PA_VOLUME_NORM);
}

void PulseAudio::setDefaultSinkVolumePercent(int percent) {
    const SinkState sink = m->defaultSinkState();
    const std::uint64_t wanted =
        (static_cast<std::uint64_t>(std::max(percent, 0)) * PA_VOLUME_NORM + 50) / 100;
    pa_cvolume volume = sink.volume;
    pa_cvolume_scale(&volume,
                     static_cast<pa_volume_t>(std::min<std::uint64_t>(wanted, PA_VOLUME_MAX)));
    m->changeSink(
        sink, "pa_context_set_sink_volume_by_index", "volume",
        [&](int* success) {
            return pa_context_set_sink_volume_by_index(m->context, sink.index, &volume,
                                                       recordSuccess, success);
        },
        [&](const SinkState& now) { return sameVolume(now.volume, volume); });
}

bool PulseAudio::defaultSinkMuted() {
    return m->defaultSinkState().muted;
}

void PulseAudio::setDefaultSinkMuted(bool muted) {
    const SinkState sink = m->defaultSinkState();
    m->changeSink(
        sink, "pa_context_set_sink_mute_by_index", "mute",
        [&](int* success) {
            return pa_context_set_sink_mute_by_index(m->context, sink.index, muted ? 1 : 0,
                                                     recordSuccess, success);
        },
        [&](const SinkState& now) { return now.muted == muted; });
}

} // namespace pulse
