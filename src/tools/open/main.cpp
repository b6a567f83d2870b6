// vantor-open -a APP | vantor-open URL: starts an application by its desktop entry, or the
// user's default handler for a URL's scheme, detached from this process (own session, standard
// streams on /dev/null), and returns as soon as it has started.

#include "DesktopEntry.h"
#include "DesktopIndex.h"
#include "MimeApps.h"
#include "XdgDirs.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <vector>

extern char** environ;

namespace {

int fail(const std::string& reason) {
    std::fprintf(stderr, "%s\n", reason.c_str());
    return 1;
}

bool endsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// A path is taken only when it is a .desktop file inside one of the application folders, so a
// remote caller cannot make us run an arbitrary file as an entry.
std::optional<std::string> entryPathFor(const std::string& app) {
    if (app.find('/') == std::string::npos) {
        DesktopIndex index;
        index.refreshIfStale();
        const IndexedApp* found = index.byId(app);
        if (!found)
            found = index.byName(app);
        return found ? std::optional(found->path) : std::nullopt;
    }
    const std::string file = resolveProgram(app); // canonical path, when it exists
    if (file.empty() || !endsWith(file, ".desktop"))
        return std::nullopt;
    for (const std::string& dir : xdg::applicationDirs()) {
        const std::string root = resolveProgram(dir);
        if (!root.empty() && file.compare(0, root.size() + 1, root + "/") == 0)
            return file;
    }
    return std::nullopt;
}

int spawnDetached(const std::vector<std::string>& command, const std::string& workingDir) {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    for (int fd = 0; fd <= 2; ++fd)
        posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY,
                                         0);
    if (!workingDir.empty())
        posix_spawn_file_actions_addchdir_np(&actions, workingDir.c_str());
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setflags(&attributes,
                             POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<char*> argv;
    for (const std::string& word : command)
        argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int error = posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (error != 0)
        return fail("Cannot start " + command.front() + ": " + std::strerror(error));
    return 0;
}

int launchEntry(const std::string& path, const std::optional<std::string>& target,
                const std::string& shownName) {
    const auto entry = DesktopEntry::load(path);
    if (!entry || entry->string("Type").value_or("") != "Application")
        return fail("Unable to find application named '" + shownName + "'");
    ExecContext context{entry->string("Icon").value_or(""),
                        entry->localeString("Name", messagesLocale()).value_or(""), path, target};
    const auto exec = entry->string("Exec");
    auto command = exec ? splitExec(*exec, context) : std::nullopt;
    if (!command)
        return fail("The application '" + shownName + "' has no valid Exec line");
    if (entry->boolean("Terminal"))
        command->insert(command->begin(), {"x-terminal-emulator", "-e"});
    return spawnDetached(*command, entry->string("Path").value_or(""));
}

std::string urlScheme(const std::string& url) {
    const auto colon = url.find(':');
    if (colon == std::string::npos || colon == 0)
        return {};
    for (std::size_t i = 0; i < colon; ++i) {
        const char c = url[i];
        const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        if (!letter && (i == 0 || !((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.')))
            return {};
    }
    return asciiLower(url.substr(0, colon));
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "-a") == 0) {
        const std::string app = argv[2];
        const auto path = entryPathFor(app);
        if (!path)
            return fail("Unable to find application named '" + app + "'");
        return launchEntry(*path, std::nullopt, app);
    }
    if (argc != 2 || argv[1][0] == '-')
        return fail("usage: vantor-open -a APPLICATION | vantor-open URL");
    const std::string url = argv[1];
    const std::string scheme = urlScheme(url);
    if (scheme.empty())
        return fail("Not a URL: " + url);
    const auto id = defaultApplicationFor("x-scheme-handler/" + scheme);
    const auto path = id ? xdg::findDesktopFile(*id) : std::nullopt;
    if (!path)
        return fail("No application is set to open " + scheme + " addresses");
    return launchEntry(*path, url, *id);
}
