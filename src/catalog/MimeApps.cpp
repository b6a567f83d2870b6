#include "MimeApps.h"

#include "DesktopEntry.h"
#include "XdgDirs.h"

#include <algorithm>
#include <set>
#include <vector>

namespace {

std::vector<std::string> mimeappsLists() {
    std::vector<std::string> files{xdg::configHome() + "/mimeapps.list"};
    for (const std::string& dir : xdg::configDirs())
        files.push_back(dir + "/mimeapps.list");
    files.push_back(xdg::dataHome() + "/applications/mimeapps.list");
    for (const std::string& dir : xdg::dataDirs())
        files.push_back(dir + "/applications/mimeapps.list");
    return files;
}

bool installed(const std::string& id) {
    return xdg::findDesktopFile(id).has_value();
}

} // namespace

std::optional<std::string> defaultApplicationFor(const std::string& mimeType) {
    std::vector<DesktopEntry> lists;
    for (const std::string& file : mimeappsLists())
        if (auto entry = DesktopEntry::load(file))
            lists.push_back(std::move(*entry));

    for (const DesktopEntry& list : lists)
        for (const std::string& id : list.list(mimeType, "Default Applications"))
            if (installed(id))
                return id;

    // A removal in a more important file hides the association in every later one.
    std::set<std::string> removed;
    for (const DesktopEntry& list : lists) {
        for (const std::string& id : list.list(mimeType, "Added Associations"))
            if (!removed.count(id) && installed(id))
                return id;
        for (const std::string& id : list.list(mimeType, "Removed Associations"))
            removed.insert(id);
    }

    for (const std::string& dir : xdg::applicationDirs())
        if (const auto cache = DesktopEntry::load(dir + "/mimeinfo.cache"))
            for (const std::string& id : cache->list(mimeType, "MIME Cache"))
                if (!removed.count(id) && installed(id))
                    return id;
    return std::nullopt;
}
