#include "AppCatalog.h"

#include "DesktopEntry.h"
#include "Text.h"
#include "XdgDirs.h"

#include <QCollator>
#include <QDir>
#include <QFileInfo>
#include <QMutexLocker>
#include <algorithm>

namespace {

const QLatin1String kExtension(".desktop");

QStringList xdgRoots() {
    QStringList roots;
    for (const std::string& dir : xdg::applicationDirs())
        roots.append(QString::fromStdString(dir));
    return roots;
}

std::optional<AppEntry> readEntry(const QString& path, const QString& desktopId) {
    const auto entry = DesktopEntry::load(QFile::encodeName(path).toStdString());
    if (!entry || entry->string("Type") != "Application" || entry->boolean("NoDisplay") ||
        entry->boolean("Hidden"))
        return std::nullopt;
    const auto name = entry->localeString("Name", messagesLocale());
    if (!name || name->empty())
        return std::nullopt;
    return AppEntry{QString::fromStdString(*name), desktopId.chopped(kExtension.size()), path};
}

bool isPresent(const std::optional<QString>& text) {
    return text && !text->isEmpty();
}

} // namespace

AppCatalog& AppCatalog::shared() {
    static AppCatalog catalog(xdgRoots());
    return catalog;
}

AppCatalog::AppCatalog(QStringList roots, Clock clock)
    : m_roots([&roots] {
          for (QString& root : roots)
              root = QDir::cleanPath(root);
          return roots;
      }()),
      m_clock(clock ? std::move(clock) : Clock([] { return QDateTime::currentDateTimeUtc(); })) {}

AppList AppCatalog::listApps() {
    QMutexLocker locker(&m_lock);
    const QDateTime now = m_clock();
    if (m_cache) {
        // A clock set back leaves the age negative: the list is rebuilt rather than kept for
        // however long the jump was.
        const qint64 age = m_cache->at.msecsTo(now);
        if (age >= 0 && age < kCacheMilliseconds)
            return m_cache->list;
    }

    Scan scan;
    for (const QString& root : m_roots) {
        if (scan.apps.size() >= kMaxEntries)
            break;
        appendApps(root, root, 0, scan);
    }

    QCollator collator;
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    std::stable_sort(scan.apps.begin(), scan.apps.end(),
                     [&collator](const AppEntry& a, const AppEntry& b) {
                         return collator.compare(a.name, b.name) < 0;
                     });

    m_cache = Cache{AppList{std::move(scan.apps), isoTimestamp(now)}, now};
    return m_cache->list;
}

void AppCatalog::appendApps(const QString& root, const QString& folder, int depth,
                            Scan& scan) const {
    if (depth >= 2 || scan.apps.size() >= kMaxEntries)
        return;
    const QStringList names = QDir(folder).entryList(
        QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System, QDir::Unsorted);
    for (const QString& name : names) {
        const QString full = folder + QLatin1Char('/') + name;
        if (name.endsWith(kExtension)) {
            const QString desktopId = QString::fromStdString(xdg::desktopIdFor(
                QFile::encodeName(root).toStdString(), QFile::encodeName(full).toStdString()));
            // The first folder that holds an id owns it, even when its entry is hidden: that
            // is how a user's Hidden=true entry removes a system one.
            if (scan.seenIds.contains(desktopId))
                continue;
            scan.seenIds.insert(desktopId);
            if (auto entry = readEntry(full, desktopId)) {
                scan.apps.append(std::move(*entry));
                if (scan.apps.size() >= kMaxEntries)
                    return;
            }
        } else if (depth == 0 && QFileInfo(full).isDir()) {
            appendApps(root, full, 1, scan);
            if (scan.apps.size() >= kMaxEntries)
                return;
        }
    }
}

std::optional<QString> AppCatalog::resolveAppPath(const std::optional<QString>& path,
                                                  const std::optional<QString>& bundleId,
                                                  const std::optional<QString>& name) {
    if (isPresent(path)) {
        const QString standardized = standardizedPath(*path);
        return isAllowedAppPath(standardized) ? std::optional(standardized) : std::nullopt;
    }
    if (isPresent(bundleId)) {
        const QString wanted = bundleId->toLower();
        for (const AppEntry& app : listApps().apps) {
            if (app.bundleId.toLower() == wanted)
                return app.path;
        }
        return std::nullopt;
    }
    if (isPresent(name)) {
        qsizetype first = 0, last = name->size();
        while (first < last && (name->at(first) == u' ' || name->at(first) == u'\t'))
            ++first;
        while (last > first && (name->at(last - 1) == u' ' || name->at(last - 1) == u'\t'))
            --last;
        const QString wanted = name->mid(first, last - first).toLower();
        const QList<AppEntry> apps = listApps().apps;
        for (const AppEntry& app : apps) {
            if (app.name.toLower() == wanted)
                return app.path;
        }
        for (const AppEntry& app : apps) {
            if (app.name.toLower().contains(wanted))
                return app.path;
        }
    }
    return std::nullopt;
}

bool AppCatalog::isAllowedAppPath(const QString& path) const {
    if (!path.endsWith(kExtension))
        return false;
    const QString standardized = standardizedPath(path);
    const bool underRoot = std::any_of(m_roots.begin(), m_roots.end(), [&](const QString& root) {
        const QString prefix = root.endsWith(QLatin1Char('/')) ? root : root + QLatin1Char('/');
        return standardized == root || standardized.startsWith(prefix);
    });
    return underRoot && QFileInfo::exists(standardized);
}

QString AppCatalog::standardizedPath(const QString& path) {
    QString expanded = path;
    if (expanded == QLatin1String("~") || expanded.startsWith(QLatin1String("~/")))
        expanded.replace(0, 1, QString::fromStdString(xdg::homeDir()));
    QString clean = QDir::cleanPath(expanded);
    // ".." at the top of the tree stays there, as it does for the file system.
    while (clean == QLatin1String("/..") || clean.startsWith(QLatin1String("/../")))
        clean.remove(0, 3);
    return clean.isEmpty() && path.startsWith(QLatin1Char('/')) ? QStringLiteral("/") : clean;
}
