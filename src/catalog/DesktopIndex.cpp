#include "DesktopIndex.h"

#include "DesktopEntry.h"
#include "XdgDirs.h"

#include <cstdlib>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_set>

namespace {

long long modificationTime(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0)
        return -1;
    return static_cast<long long>(info.st_mtim.tv_sec) * 1000000000LL + info.st_mtim.tv_nsec;
}

bool endsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::string withSuffix(const std::string& id) {
    return endsWith(id, ".desktop") ? id : id + ".desktop";
}

std::string canonical(const std::string& path) {
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (!resolved)
        return {};
    std::string result = resolved;
    std::free(resolved);
    return result;
}

// Depth-first over one applications folder; subfolders give "vendor-app.desktop" ids. The
// depth bound keeps a symlink loop from running away.
void scan(const std::string& root, const std::string& dir, int depth,
          std::vector<std::string>& folders,
          std::vector<std::pair<std::string, std::string>>& files) {
    folders.push_back(dir);
    DIR* handle = ::opendir(dir.c_str());
    if (!handle)
        return;
    std::vector<std::string> subdirs;
    while (const dirent* item = ::readdir(handle)) {
        const std::string name = item->d_name;
        if (name == "." || name == "..")
            continue;
        const std::string path = dir + "/" + name;
        struct stat info {};
        if (::stat(path.c_str(), &info) != 0)
            continue;
        if (S_ISDIR(info.st_mode))
            subdirs.push_back(path);
        else if (S_ISREG(info.st_mode) && endsWith(name, ".desktop"))
            files.emplace_back(xdg::desktopIdFor(root, path), path);
    }
    ::closedir(handle);
    if (depth < 3)
        for (const std::string& sub : subdirs)
            scan(root, sub, depth + 1, folders, files);
}

} // namespace

std::string asciiLower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
}

std::string resolveProgram(const std::string& word) {
    if (word.empty())
        return {};
    if (word.find('/') != std::string::npos)
        return canonical(word);
    const char* path = std::getenv("PATH");
    std::string list = path ? path : "/usr/local/bin:/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= list.size()) {
        const auto end = std::min(list.find(':', start), list.size());
        const std::string dir = list.substr(start, end - start);
        const std::string candidate = (dir.empty() ? std::string(".") : dir) + "/" + word;
        if (::access(candidate.c_str(), X_OK) == 0)
            return canonical(candidate);
        start = end + 1;
    }
    return {};
}

DesktopIndex::DesktopIndex(std::chrono::steady_clock::duration recheck) : m_recheck(recheck) {}

void DesktopIndex::refreshIfStale() {
    const auto now = std::chrono::steady_clock::now();
    if (m_checkedAt && now - *m_checkedAt < m_recheck)
        return;
    const bool first = !m_checkedAt;
    m_checkedAt = now;
    if (first || foldersChanged())
        rebuild();
}

bool DesktopIndex::foldersChanged() const {
    for (const Folder& folder : m_folders)
        if (modificationTime(folder.path) != folder.mtime)
            return true;
    return false;
}

void DesktopIndex::rebuild() {
    m_folders.clear();
    m_apps.clear();
    m_resolvedPrograms.clear();
    std::unordered_set<std::string> seen;
    const std::string locale = messagesLocale();
    for (const std::string& root : xdg::applicationDirs()) {
        std::vector<std::string> folders;
        std::vector<std::pair<std::string, std::string>> files;
        scan(root, root, 0, folders, files);
        for (const std::string& folder : folders)
            m_folders.push_back({folder, modificationTime(folder)});
        if (folders.size() == 1 && modificationTime(root) < 0)
            continue;
        for (const auto& [id, path] : files) {
            if (!seen.insert(id).second)
                continue; // an earlier folder already holds (or hides) this id
            const auto entry = DesktopEntry::load(path);
            if (!entry || entry->string("Type").value_or("") != "Application" ||
                entry->boolean("Hidden"))
                continue;
            IndexedApp app;
            app.id = id;
            app.path = path;
            app.name = entry->localeString("Name", locale).value_or("");
            app.startupWmClass = entry->string("StartupWMClass").value_or("");
            app.noDisplay = entry->boolean("NoDisplay");
            if (const auto exec = entry->string("Exec"))
                if (const auto words = splitExec(*exec))
                    app.program = words->front();
            m_apps.push_back(std::move(app));
        }
    }
}

const IndexedApp* DesktopIndex::byId(const std::string& id) const {
    if (id.empty())
        return nullptr;
    const std::string wanted = withSuffix(id);
    for (const IndexedApp& app : m_apps)
        if (app.id == wanted)
            return &app;
    const std::string lower = asciiLower(wanted);
    for (const IndexedApp& app : m_apps)
        if (asciiLower(app.id) == lower)
            return &app;
    return nullptr;
}

const IndexedApp* DesktopIndex::byStartupWmClass(const std::string& wmClass) const {
    if (wmClass.empty())
        return nullptr;
    for (const IndexedApp& app : m_apps)
        if (app.startupWmClass == wmClass)
            return &app;
    return nullptr;
}

const IndexedApp* DesktopIndex::byName(const std::string& name) const {
    if (name.empty())
        return nullptr;
    const std::string lower = asciiLower(name);
    // The user's own entries come first in the index, so they win a tie.
    for (const IndexedApp& app : m_apps)
        if (asciiLower(app.name) == lower)
            return &app;
    const std::string locale; // the untranslated Name, for a user who typed the English one
    for (const IndexedApp& app : m_apps)
        if (const auto entry = DesktopEntry::load(app.path))
            if (asciiLower(entry->localeString("Name", locale).value_or("")) == lower)
                return &app;
    return nullptr;
}

const IndexedApp* DesktopIndex::byExecutable(const std::string& executable) {
    if (executable.empty())
        return nullptr;
    if (m_resolvedPrograms.size() != m_apps.size()) {
        m_resolvedPrograms.clear();
        for (const IndexedApp& app : m_apps)
            m_resolvedPrograms.push_back(resolveProgram(app.program));
    }
    for (std::size_t i = 0; i < m_apps.size(); ++i)
        if (!m_resolvedPrograms[i].empty() && m_resolvedPrograms[i] == executable)
            return &m_apps[i];
    return nullptr;
}
