#pragma once

#include <QDateTime>
#include <QList>
#include <QMutex>
#include <QSet>
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

// One installed application: a desktop entry of Type=Application that is shown in menus.
struct AppEntry {
    QString name;     // the entry's Name, localised for the user's messages locale
    QString bundleId; // the desktop id without ".desktop", as the context sampler reports it
    QString path;     // the desktop file, as found below its applications folder

    bool operator==(const AppEntry&) const = default;
};

// The sorted list and the moment it was built (ISO 8601 UTC with milliseconds).
struct AppList {
    QList<AppEntry> apps;
    QString generatedAt;
};

// The installed applications: a short-lived, sorted list of the desktop entries in the XDG
// application folders, and the rules for which desktop-file paths a request may name.
//
// All members are safe to call from any thread. `listApps()` serialises the whole
// test-and-build behind one lock, so concurrent callers build the list once.
class AppCatalog {
public:
    using Clock = std::function<QDateTime()>;

    static constexpr int kMaxEntries = 400;
    static constexpr qint64 kCacheMilliseconds = 300'000;

    // The catalogue of the agent: the XDG application folders (xdg::applicationDirs()) as they
    // are on first use, and the system clock.
    static AppCatalog& shared();

    // A catalogue over `roots` (scanned in this order); `clock` gives the current UTC time and
    // defaults to the system clock. Tests pass their own folders and clock.
    explicit AppCatalog(QStringList roots, Clock clock = {});

    const QStringList& roots() const { return m_roots; }

    // The list, rebuilt when none was built in the last 300 s. Never fails: unreadable folders
    // and broken entries are skipped.
    AppList listApps();

    // The desktop file a request means. The first of the three that is present and not empty
    // decides: a path must pass isAllowedAppPath() after standardisation; a bundle id matches
    // case-insensitively; a name (trimmed of spaces and tabs) matches exactly, else as a
    // substring, case-insensitively. Nothing when that one finds nothing.
    std::optional<QString> resolveAppPath(const std::optional<QString>& path,
                                          const std::optional<QString>& bundleId,
                                          const std::optional<QString>& name);

    // Whether `path` may be used as an application: it ends with ".desktop" as given, and once
    // standardised (leading "~" expanded, "." and ".." resolved, separators collapsed) it lies
    // below one of the roots and something exists there. Touches no shared state.
    bool isAllowedAppPath(const QString& path) const;

    // The standardised form of a path that isAllowedAppPath() tests.
    static QString standardizedPath(const QString& path);

private:
    struct Scan {
        QList<AppEntry> apps;
        QSet<QString> seenIds;
    };

    // Adds the applications in `folder` (a root at depth 0, one of its subfolders at depth 1)
    // to `scan` until it holds kMaxEntries.
    void appendApps(const QString& root, const QString& folder, int depth, Scan& scan) const;

    struct Cache {
        AppList list;
        QDateTime at;
    };

    const QStringList m_roots;
    const Clock m_clock;
    QMutex m_lock;
    std::optional<Cache> m_cache;
};
