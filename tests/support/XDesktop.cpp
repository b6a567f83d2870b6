#include "XDesktop.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <xcb/xcb.h>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kPollStep = std::chrono::milliseconds(10);

std::string makeTempDir() {
    std::string pattern = "/tmp/vantor-x-XXXXXX";
    return ::mkdtemp(pattern.data()) ? pattern : std::string();
}

// The value of a CARDINAL/WINDOW property of the root or a window (first item), if set.
std::optional<uint32_t> cardinalProperty(xcb_connection_t* c, xcb_window_t window,
                                         const char* name) {
    auto* atomReply = xcb_intern_atom_reply(
        c, xcb_intern_atom(c, 1, static_cast<uint16_t>(std::strlen(name)), name), nullptr);
    if (!atomReply)
        return std::nullopt;
    const xcb_atom_t atom = atomReply->atom;
    std::free(atomReply);
    if (atom == XCB_NONE)
        return std::nullopt;
    auto* reply = xcb_get_property_reply(
        c, xcb_get_property(c, 0, window, atom, XCB_GET_PROPERTY_TYPE_ANY, 0, 1), nullptr);
    std::optional<uint32_t> value;
    if (reply && reply->format == 32 && xcb_get_property_value_length(reply) >= 4)
        value = *static_cast<const uint32_t*>(xcb_get_property_value(reply));
    std::free(reply);
    return value;
}

xcb_window_t rootOf(xcb_connection_t* c) {
    return xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
}

bool reapWithin(pid_t pid, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
        const pid_t done = ::waitpid(pid, nullptr, WNOHANG);
        if (done == pid || (done < 0 && errno == ECHILD))
            return true;
        std::this_thread::sleep_for(kPollStep);
    }
    return false;
}

// Whether the window manager has taken the window on (it sets WM_STATE when it manages one).
bool windowIsManaged(xcb_connection_t* c, xcb_window_t window) {
    auto* atomReply = xcb_intern_atom_reply(c, xcb_intern_atom(c, 1, 8, "WM_STATE"), nullptr);
    if (!atomReply)
        return false;
    auto* reply = xcb_get_property_reply(
        c, xcb_get_property(c, 0, window, atomReply->atom, XCB_GET_PROPERTY_TYPE_ANY, 0, 2),
        nullptr);
    std::free(atomReply);
    const bool managed = reply && reply->type != XCB_NONE;
    std::free(reply);
    return managed;
}

} // namespace

pid_t spawnProgram(const std::vector<std::string>& argv,
                   const std::vector<std::string>& extraEnvironment) {
    std::vector<std::string> environment = extraEnvironment;
    for (char** item = environ; *item; ++item) {
        const std::string entry = *item;
        const std::string name = entry.substr(0, entry.find('='));
        bool overridden = false;
        for (const std::string& extra : extraEnvironment)
            overridden = overridden || extra.substr(0, extra.find('=')) == name;
        if (!overridden)
            environment.push_back(entry);
    }
    std::vector<char*> args;
    for (const std::string& word : argv)
        args.push_back(const_cast<char*>(word.c_str()));
    args.push_back(nullptr);
    std::vector<char*> env;
    for (const std::string& entry : environment)
        env.push_back(const_cast<char*>(entry.c_str()));
    env.push_back(nullptr);
    pid_t pid = 0;
    return ::posix_spawnp(&pid, args[0], nullptr, nullptr, args.data(), env.data()) == 0 ? pid : 0;
}

void stopProgram(pid_t pid) {
    if (pid <= 0)
        return;
    ::kill(pid, SIGTERM);
    if (!reapWithin(pid, std::chrono::seconds(3))) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
}

XDesktop::XDesktop(bool windowManager) : m_dir(makeTempDir()) {
    if (const char* saved = std::getenv("DISPLAY"))
        m_savedDisplay = saved;

    int pipeFds[2];
    if (m_dir.empty() || ::pipe2(pipeFds, O_CLOEXEC) != 0)
        return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 3);
    const char* serverArgs[] = {"Xvfb",        "-displayfd", "3",   "-screen",  "0",
                                "1280x800x24", "-nolisten",  "tcp", "-noreset", nullptr};
    const int spawned = ::posix_spawnp(&m_server, "Xvfb", &actions, nullptr,
                                       const_cast<char**>(serverArgs), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    if (spawned != 0) {
        m_server = 0;
        ::close(pipeFds[0]);
        return;
    }
    std::string number;
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < deadline && (number.empty() || number.back() != '\n')) {
        pollfd fd{pipeFds[0], POLLIN, 0};
        if (::poll(&fd, 1, 100) <= 0)
            continue;
        char buffer[16];
        const ssize_t got = ::read(pipeFds[0], buffer, sizeof buffer);
        if (got <= 0)
            break;
        number.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(pipeFds[0]);
    if (number.empty() || number.back() != '\n')
        return;
    number.pop_back();
    m_display = ":" + number;
    ::setenv("DISPLAY", m_display.c_str(), 1);

    if (!windowManager) {
        m_ready = true;
        return;
    }
    const std::string rc = m_dir + "/rc.xml";
    std::ofstream(rc) << "<openbox_config xmlns=\"http://openbox.org/3.4/rc\">"
                         "<focus><focusNew>yes</focusNew></focus>"
                         "<desktops><number>1</number></desktops><keyboard/><mouse/>"
                         "</openbox_config>\n";
    m_windowManager = spawnProgram({"openbox", "--sm-disable", "--config-file", rc},
                                   {"HOME=" + m_dir, "XDG_CONFIG_HOME=" + m_dir,
                                    "XDG_CACHE_HOME=" + m_dir, "XDG_DATA_HOME=" + m_dir,
                                    // its theme comes from the system, whatever the test set
                                    "XDG_DATA_DIRS=/usr/local/share:/usr/share",
                                    "XDG_CONFIG_DIRS=/etc/xdg", "DISPLAY=" + m_display});
    xcb_connection_t* c = xcb_connect(m_display.c_str(), nullptr);
    const auto wmDeadline = Clock::now() + std::chrono::seconds(10);
    bool announced = false;
    while (!announced && !xcb_connection_has_error(c) && Clock::now() < wmDeadline &&
           m_windowManager) {
        announced = cardinalProperty(c, rootOf(c), "_NET_SUPPORTING_WM_CHECK").value_or(0) != 0;
        if (!announced)
            std::this_thread::sleep_for(kPollStep);
    }
    // Openbox announces itself before it has finished starting, and drops the map requests of
    // that moment: ready only once a probe window of ours is managed.
    if (announced) {
        const xcb_window_t probe = xcb_generate_id(c);
        xcb_create_window(c, XCB_COPY_FROM_PARENT, probe, rootOf(c), 0, 0, 10, 10, 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT, 0, nullptr);
        auto nextMap = Clock::now();
        while (!m_ready && !xcb_connection_has_error(c) && Clock::now() < wmDeadline) {
            if (Clock::now() >= nextMap) {
                xcb_unmap_window(c, probe);
                xcb_map_window(c, probe);
                xcb_flush(c);
                nextMap = Clock::now() + std::chrono::milliseconds(200);
            }
            std::this_thread::sleep_for(kPollStep);
            m_ready = windowIsManaged(c, probe);
        }
        xcb_destroy_window(c, probe);
        xcb_flush(c);
    }
    xcb_disconnect(c);
}

XDesktop::~XDesktop() {
    stopProgram(m_windowManager);
    stopProgram(m_server);
    if (m_savedDisplay)
        ::setenv("DISPLAY", m_savedDisplay->c_str(), 1);
    else
        ::unsetenv("DISPLAY");
    if (!m_dir.empty())
        std::system(("rm -rf '" + m_dir + "'").c_str());
}

void XDesktop::killServer() {
    if (m_server > 0) {
        ::kill(m_server, SIGKILL);
        ::waitpid(m_server, nullptr, 0);
    }
    m_server = 0;
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
        argv.push_back("--legacy-title");
    m_pid = spawnProgram(argv);
}

TestWindow::~TestWindow() {
    stopProgram(m_pid);
    ::unlink(m_log.c_str());
}

// The client window of `pid` among the window manager's clients, if it is managed yet.
static std::optional<xcb_window_t> clientOf(xcb_connection_t* c, pid_t pid) {
    auto* atomReply =
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 1, 16, "_NET_CLIENT_LIST"), nullptr);
    if (!atomReply)
        return std::nullopt;
    auto* reply = xcb_get_property_reply(
        c, xcb_get_property(c, 0, rootOf(c), atomReply->atom, XCB_ATOM_WINDOW, 0, 1024), nullptr);
    std::free(atomReply);
    std::optional<xcb_window_t> found;
    if (reply && reply->format == 32) {
        const auto* windows = static_cast<const xcb_window_t*>(xcb_get_property_value(reply));
        for (int i = 0; i < xcb_get_property_value_length(reply) / 4 && !found; ++i)
            if (cardinalProperty(c, windows[i], "_NET_WM_PID") == static_cast<uint32_t>(pid))
                found = windows[i];
    }
    std::free(reply);
    return found;
}

// Asks the window manager to activate the window, as a pager (or a click) would.
static void requestActivation(xcb_connection_t* c, xcb_window_t window) {
    auto* atomReply =
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, 18, "_NET_ACTIVE_WINDOW"), nullptr);
    if (!atomReply)
        return;
    xcb_client_message_event_t event{};
    event.response_type = XCB_CLIENT_MESSAGE;
    event.format = 32;
    event.window = window;
    event.type = atomReply->atom;
    event.data.data32[0] = 2; // source: a pager, which window managers obey
    std::free(atomReply);
    xcb_send_event(c, 0, rootOf(c),
                   XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                   reinterpret_cast<const char*>(&event));
    xcb_flush(c);
}

bool TestWindow::waitUntilActive(std::chrono::milliseconds timeout) const {
    const char* display = std::getenv("DISPLAY");
    xcb_connection_t* c = xcb_connect(display, nullptr);
    bool active = false;
    const auto deadline = Clock::now() + timeout;
    auto nextRequest = Clock::now() + std::chrono::milliseconds(200);
    while (!active && !xcb_connection_has_error(c) && Clock::now() < deadline) {
        if (const auto window = cardinalProperty(c, rootOf(c), "_NET_ACTIVE_WINDOW"))
            active = *window != 0 &&
                     cardinalProperty(c, *window, "_NET_WM_PID") == static_cast<uint32_t>(m_pid);
        if (active)
            break;
        // A window mapped while the window manager was still starting is managed unfocused.
        if (Clock::now() >= nextRequest) {
            if (const auto window = clientOf(c, m_pid))
                requestActivation(c, *window);
            nextRequest = Clock::now() + std::chrono::milliseconds(200);
        }
        std::this_thread::sleep_for(kPollStep);
    }
    xcb_disconnect(c);
    return active;
}

bool TestWindow::waitUntilExited(std::chrono::milliseconds timeout) {
    if (m_pid <= 0 || !reapWithin(m_pid, timeout))
        return false;
    m_pid = 0;
    return true;
}

std::vector<std::string> TestWindow::keyLog(std::size_t count,
                                            std::chrono::milliseconds timeout) const {
    return waitForLines(m_log, count, timeout);
}

std::vector<std::string> waitForLines(const std::string& path, std::size_t count,
                                      std::chrono::milliseconds timeout) {
    std::vector<std::string> lines;
    const auto deadline = Clock::now() + timeout;
    do {
        lines.clear();
        std::ifstream in(path);
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        if (lines.size() >= count)
            break;
        std::this_thread::sleep_for(kPollStep);
    } while (Clock::now() < deadline);
    return lines;
}

std::vector<int> keysDown() {
    xcb_connection_t* c = xcb_connect(std::getenv("DISPLAY"), nullptr);
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
