#include "XdgDirs.h"

#include <algorithm>
#include <cstdlib>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace xdg {
namespace {

std::string env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

// Only absolute entries count; relative ones are invalid in these variables.
std::vector<std::string> splitPaths(const std::string& list) {
    std::vector<std::string> paths;
    std::size_t start = 0;
    while (start <= list.size()) {
        const auto end = std::min(list.find(':', start), list.size());
        std::string path = list.substr(start, end - start);
        while (path.size() > 1 && path.back() == '/')
            path.pop_back();
        if (!path.empty() && path.front() == '/')
            paths.push_back(path);
        start = end + 1;
    }
    return paths;
}

std::string absoluteOr(const std::string& value, const std::string& fallback) {
    return !value.empty() && value.front() == '/' ? value : fallback;
}

bool isRegularFile(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

void addUnique(std::vector<std::string>& list, const std::string& item) {
    if (std::find(list.begin(), list.end(), item) == list.end())
        list.push_back(item);
}

} // namespace

std::string homeDir() {
    const std::string home = env("HOME");
    if (!home.empty())
        return home;
    const passwd* entry = ::getpwuid(::getuid());
    return entry && entry->pw_dir ? entry->pw_dir : "/";
}

std::string dataHome() {
    return absoluteOr(env("XDG_DATA_HOME"), homeDir() + "/.local/share");
}

std::vector<std::string> dataDirs() {
    auto dirs = splitPaths(env("XDG_DATA_DIRS"));
    return dirs.empty() ? std::vector<std::string>{"/usr/local/share", "/usr/share"} : dirs;
}

std::string configHome() {
    return absoluteOr(env("XDG_CONFIG_HOME"), homeDir() + "/.config");
}

std::vector<std::string> configDirs() {
    auto dirs = splitPaths(env("XDG_CONFIG_DIRS"));
    return dirs.empty() ? std::vector<std::string>{"/etc/xdg"} : dirs;
}

std::vector<std::string> applicationDirs() {
    std::vector<std::string> dirs;
    addUnique(dirs, dataHome() + "/applications");
    for (const std::string& dir : dataDirs())
        addUnique(dirs, dir + "/applications");
    addUnique(dirs, dataHome() + "/flatpak/exports/share/applications");
    addUnique(dirs, "/var/lib/flatpak/exports/share/applications");
    return dirs;
}

std::string desktopIdFor(const std::string& applicationsDir, const std::string& filePath) {
    std::string relative = filePath;
    const std::string prefix = applicationsDir + "/";
    if (relative.compare(0, prefix.size(), prefix) == 0)
        relative.erase(0, prefix.size());
    std::replace(relative.begin(), relative.end(), '/', '-');
    return relative;
}

std::optional<std::string> findDesktopFile(const std::string& desktopId) {
    if (desktopId.empty() || desktopId.find('/') != std::string::npos)
        return std::nullopt;
    for (const std::string& dir : applicationDirs()) {
        const std::string direct = dir + "/" + desktopId;
        if (isRegularFile(direct))
            return direct;
        // "vendor-app.desktop" may live at vendor/app.desktop.
        for (std::size_t dash = desktopId.find('-'); dash != std::string::npos;
             dash = desktopId.find('-', dash + 1)) {
            std::string nested = desktopId;
            nested[dash] = '/';
            if (isRegularFile(dir + "/" + nested))
                return dir + "/" + nested;
        }
    }
    return std::nullopt;
}

} // namespace xdg
