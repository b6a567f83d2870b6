#include "XDesktop.h"

#include "TempEnvironment.h"

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <unistd.h>
#include <utility>
#include <xcb/xcb.h>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::seconds;

xcb_atom_t atom(xcb_connection_t* c, const char* name) {
    auto* reply = xcb_intern_atom_reply(
        c, xcb_intern_atom(c, 0, static_cast<uint16_t>(std::strlen(name)), name), nullptr);
    const xcb_atom_t found = reply ? reply->atom : XCB_NONE;
    std::free(reply);
    return found;
}

// The 32-bit items of a window's property (at most `count`); empty when it is unset.
std::vector<uint32_t> property(xcb_connection_t* c, xcb_window_t window, const char* name,
                               uint32_t count = 1) {
    std::vector<uint32_t> items;
    auto* reply = xcb_get_property_reply(
        c, xcb_get_property(c, 0, window, atom(c, name), XCB_GET_PROPERTY_TYPE_ANY, 0, count),
        nullptr);
    if (reply && reply->format == 32) {
        const auto* data = static_cast<const uint32_t*>(xcb_get_property_value(reply));
        items.assign(data, data + xcb_get_property_value_length(reply) / 4);
    }
    std::free(reply);
    return items;
}

uint32_t firstOf(const std::vector<uint32_t>& items) {
    return items.empty() ? 0 : items.front();
}

xcb_window_t rootOf(xcb_connection_t* c) {
    return xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
}

// Asks the window manager to activate the client window of `pid`, as a pager (or a click) would.
void requestActivation(xcb_connection_t* c, pid_t pid) {
    for (const uint32_t window : property(c, rootOf(c), "_NET_CLIENT_LIST", 1024)) {
        if (firstOf(property(c, window, "_NET_WM_PID")) != static_cast<uint32_t>(pid))
            continue;
        // Source 2: a pager, which window managers obey.
        const xcb_client_message_event_t event{
            XCB_CLIENT_MESSAGE, 32, 0, window, atom(c, "_NET_ACTIVE_WINDOW"), {.data32 = {2}}};
        xcb_send_event(c, 0, rootOf(c),
                       XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                       reinterpret_cast<const char*>(&event));
        xcb_flush(c);
    }
}

} // namespace

XDesktop::XDesktop() {
    xcb_connection_t* c =
        startScript("start_x", "DISPLAY|E2E_X_PID") ? xcb_connect(nullptr, nullptr) : nullptr;
    if (c && !xcb_connection_has_error(c)) {
        // Openbox announces itself before it has finished starting, and drops the map requests
        // of that moment: ready only once a probe window of ours is managed (has WM_STATE).
        const xcb_window_t probe = xcb_generate_id(c);
        xcb_create_window(c, XCB_COPY_FROM_PARENT, probe, rootOf(c), 0, 0, 10, 10, 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT, 0, nullptr);
        auto nextMap = Clock::now();
        m_ready = waitUntil(
            [&] {
                if (Clock::now() >= nextMap) {
                    xcb_unmap_window(c, probe);
                    xcb_map_window(c, probe);
                    xcb_flush(c);
                    nextMap = Clock::now() + milliseconds(200);
                }
                return !property(c, probe, "WM_STATE").empty();
            },
            seconds(10));
        xcb_destroy_window(c, probe);
        xcb_flush(c);
    }
    if (c)
        xcb_disconnect(c);
}

void XDesktop::killServer() {
    // Its parent, the script's shell, reaps it.
    const pid_t server = qEnvironmentVariableIntValue("E2E_X_PID");
    if (server > 0 && ::kill(server, SIGKILL) == 0)
        waitUntil([server] { return ::kill(server, 0) != 0; });
}

TestWindow::TestWindow(const Options& options) {
    char pattern[] = "/tmp/vantor-keys-XXXXXX";
    const int fd = ::mkstemp(pattern);
    if (fd >= 0)
        ::close(fd);
    m_log = pattern;
    std::vector<std::string> argv{VANTOR_TEST_CLIENT, "--title",        options.title,
                                  "--instance",       options.instance, "--class",
                                  options.wmClass,    "--log",          m_log};
    if (options.legacyTitle)
        argv.insert(argv.end(), {"--legacy-title", "1"});
    if (options.claimedPid)
        argv.insert(argv.end(), {"--pid", std::to_string(options.claimedPid)});
    m_pid = spawnProgram(argv);
}

TestWindow::~TestWindow() {
    stopProgram(std::exchange(m_pid, 0)); // before its log goes
    ::unlink(m_log.c_str());
}

bool TestWindow::waitUntilActive(milliseconds timeout) const {
    xcb_connection_t* c = xcb_connect(nullptr, nullptr);
    auto nextRequest = Clock::now() + milliseconds(200);
    const auto activeAndFocused = [&] {
        // Openbox names the window active before it has the input focus, and keys sent in
        // between are lost: both must hold.
        const uint32_t window = firstOf(property(c, rootOf(c), "_NET_ACTIVE_WINDOW"));
        auto* focus = xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr);
        const bool focused = focus && focus->focus == window;
        std::free(focus);
        if (focused && window &&
            firstOf(property(c, window, "_NET_WM_PID")) == static_cast<uint32_t>(m_pid))
            return true;
        // A window mapped while the window manager was still starting is managed unfocused.
        if (Clock::now() >= nextRequest) {
            requestActivation(c, m_pid);
            nextRequest = Clock::now() + milliseconds(200);
        }
        return false;
    };
    const bool active = !xcb_connection_has_error(c) && waitUntil(activeAndFocused, timeout);
    xcb_disconnect(c);
    return active;
}

bool TestWindow::waitUntilExited(milliseconds timeout) {
    if (m_pid <= 0 || !reapWithin(m_pid, timeout))
        return false;
    m_pid = 0;
    return true;
}

std::vector<int> keysDown() {
    xcb_connection_t* c = xcb_connect(nullptr, nullptr);
    std::vector<int> down;
    if (auto* reply = xcb_query_keymap_reply(c, xcb_query_keymap(c), nullptr)) {
        for (int i = 0; i < 256; ++i)
            if (reply->keys[i / 8] & (1 << (i % 8)))
                down.push_back(i);
        std::free(reply);
    }
    xcb_disconnect(c);
    return down;
}
