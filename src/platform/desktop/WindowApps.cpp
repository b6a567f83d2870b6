#include "WindowApps.h"

#include "DesktopIndex.h"

#include <climits>
#include <unistd.h>

namespace {

std::string processExecutable(unsigned pid) {
    if (pid == 0)
        return {};
    char target[PATH_MAX];
    const std::string link = "/proc/" + std::to_string(pid) + "/exe";
    const ssize_t length = ::readlink(link.c_str(), target, sizeof target - 1);
    return length > 0 ? std::string(target, static_cast<std::size_t>(length)) : std::string();
}

} // namespace

const IndexedApp* desktopEntryForWindow(DesktopIndex& index, const WindowIdentity& window) {
    index.refreshIfStale();
    if (const IndexedApp* app = index.byId(window.gtkApplicationId))
        return app;
    for (const std::string* wmClass : {&window.wmClass, &window.wmInstance})
        if (const IndexedApp* app = index.byStartupWmClass(*wmClass))
            return app;
    for (const std::string* wmClass : {&window.wmInstance, &window.wmClass})
        if (const IndexedApp* app = index.byId(*wmClass))
            return app;
    return index.byExecutable(processExecutable(window.pid));
}

WindowApp windowApp(DesktopIndex& index, const WindowIdentity& window) {
    WindowApp result;
    if (const IndexedApp* app = desktopEntryForWindow(index, window)) {
        constexpr std::size_t kSuffix = sizeof(".desktop") - 1;
        result.identifier = app->id.substr(0, app->id.size() - kSuffix);
        if (!app->name.empty())
            result.name = app->name;
    }
    if (!result.name && !window.wmClass.empty())
        result.name = window.wmClass;
    if (!result.identifier && !window.wmInstance.empty())
        result.identifier = window.wmInstance;
    return result;
}
