#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

// One installed application as its desktop entry describes it.
struct IndexedApp {
    std::string id;             // desktop id, "org.example.App.desktop"
    std::string path;           // the file
    std::string name;           // Name in the user's locale
    std::string startupWmClass; // StartupWMClass, may be empty
    std::string program;        // the first word of Exec, as written
    bool noDisplay = false;
};

// The desktop entries of every application folder, first folder winning for a desktop id
// (Hidden entries hide the id). Built on first use; `refreshIfStale` rescans only when a
// folder's modification time changed, and looks at the folders at most once per `recheck`, so
// callers that sample often pay a few stat calls at most. Plain C++: the helpers link it.
class DesktopIndex {
public:
    explicit DesktopIndex(std::chrono::steady_clock::duration recheck = std::chrono::seconds(3));

    void refreshIfStale();

    // By desktop id, with or without the ".desktop" suffix (exact, then ignoring ASCII case).
    const IndexedApp* byId(const std::string& id) const;
    // By StartupWMClass, exactly.
    const IndexedApp* byStartupWmClass(const std::string& wmClass) const;
    // By Name (localised or not), ignoring ASCII case.
    const IndexedApp* byName(const std::string& name) const;
    // By the program a process runs (its /proc/PID/exe target) against each Exec program.
    const IndexedApp* byExecutable(const std::string& executable);

    const std::vector<IndexedApp>& apps() const { return m_apps; }

private:
    void rebuild();
    bool foldersChanged() const;

    struct Folder {
        std::string path;
        long long mtime; // -1 when missing
    };
    std::chrono::steady_clock::duration m_recheck;
    std::optional<std::chrono::steady_clock::time_point> m_checkedAt;
    std::vector<Folder> m_folders;
    std::vector<IndexedApp> m_apps;
    std::vector<std::string> m_resolvedPrograms; // per app, filled on first executable lookup
};

// Lower-cases ASCII letters only; other bytes (UTF-8 included) stay as they are.
std::string asciiLower(std::string text);

// The absolute, symlink-free path of the program a command word names: itself when it holds a
// "/", else the first executable of that name on PATH. Empty when there is none.
std::string resolveProgram(const std::string& word);
