#include "IconTheme.h"

#include "DesktopEntry.h"
#include "RunProcess.h"
#include "XdgDirs.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>
#include <climits>
#include <exception>

namespace {

const char* const kExtensions[] = {".png", ".svg", ".xpm"};
constexpr int kMaxInheritDepth = 8;

QString fromStd(const std::string& text) {
    return QString::fromStdString(text);
}

std::optional<DesktopEntry> loadIni(const QString& path) {
    return DesktopEntry::load(QFile::encodeName(path).toStdString(), 256 * 1024);
}

void addUnique(QStringList& list, const QString& item) {
    if (!list.contains(item))
        list.append(item);
}

// The value of `key` in `group` of the first of `files` (config-relative paths) that sets it,
// searched in the user's config folder, then the system ones.
QString configValue(const char* file, const char* group, const char* key) {
    std::vector<std::string> folders{xdg::configHome()};
    for (const std::string& dir : xdg::configDirs())
        folders.push_back(dir);
    for (const std::string& folder : folders) {
        if (const auto ini = loadIni(fromStd(folder + "/" + file)))
            if (const auto value = ini->string(key, group); value && !value->empty())
                return fromStd(*value);
    }
    return {};
}

bool currentDesktopIs(std::initializer_list<const char*> names) {
    const QStringList desktops =
        qEnvironmentVariable("XDG_CURRENT_DESKTOP").split(QLatin1Char(':'), Qt::SkipEmptyParts);
    for (const QString& desktop : desktops)
        for (const char* name : names)
            if (desktop.compare(QLatin1String(name), Qt::CaseInsensitive) == 0)
                return true;
    return false;
}

// The theme a desktop's own settings program reports; empty when it is missing or fails.
QString askSettingsProgram(const char* program, const QStringList& arguments) {
    const QString path = QStandardPaths::findExecutable(QLatin1String(program));
    if (path.isEmpty())
        return {};
    try {
        QString value = runProcess(path, arguments);
        // gsettings prints a GVariant text: 'Adwaita'.
        if (value.size() >= 2 && value.startsWith(QLatin1Char('\'')) &&
            value.endsWith(QLatin1Char('\'')))
            value = value.mid(1, value.size() - 2);
        return value;
    } catch (const std::exception&) {
        return {};
    }
}

QString gtk2Theme() {
    QFile file(fromStd(xdg::homeDir()) + QStringLiteral("/.gtkrc-2.0"));
    if (!file.open(QIODevice::ReadOnly) || file.size() > 256 * 1024)
        return {};
    static const QRegularExpression line(
        QStringLiteral(R"(^\s*gtk-icon-theme-name\s*=\s*"([^"]+)\")"),
        QRegularExpression::MultilineOption);
    return line.match(QString::fromUtf8(file.readAll())).captured(1);
}

int toInt(const std::optional<std::string>& value, int fallback) {
    if (!value)
        return fallback;
    bool ok = false;
    const int number = fromStd(*value).trimmed().toInt(&ok);
    return ok ? number : fallback;
}

QStringList commaList(const std::optional<std::string>& value) {
    QStringList items;
    if (!value)
        return items;
    for (const QString& item : fromStd(*value).split(QLatin1Char(','), Qt::SkipEmptyParts))
        if (const QString trimmed = item.trimmed(); !trimmed.isEmpty())
            items.append(trimmed);
    return items;
}

bool isFile(const QString& path) {
    return QFileInfo(path).isFile();
}

} // namespace

QString IconTheme::currentThemeName() {
    QString name;
    if (currentDesktopIs({"KDE"}))
        name = configValue("kdeglobals", "Icons", "Theme");
    else if (currentDesktopIs({"MATE"}))
        name = askSettingsProgram("gsettings",
                                  {QStringLiteral("get"), QStringLiteral("org.mate.interface"),
                                   QStringLiteral("icon-theme")});
    else if (currentDesktopIs({"X-Cinnamon", "Cinnamon"}))
        name = askSettingsProgram("gsettings", {QStringLiteral("get"),
                                                QStringLiteral("org.cinnamon.desktop.interface"),
                                                QStringLiteral("icon-theme")});
    else if (currentDesktopIs({"GNOME", "Unity", "Budgie", "Pantheon", "ubuntu"}))
        name = askSettingsProgram("gsettings", {QStringLiteral("get"),
                                                QStringLiteral("org.gnome.desktop.interface"),
                                                QStringLiteral("icon-theme")});
    else if (currentDesktopIs({"XFCE"}))
        name = askSettingsProgram("xfconf-query",
                                  {QStringLiteral("-c"), QStringLiteral("xsettings"),
                                   QStringLiteral("-p"), QStringLiteral("/Net/IconThemeName")});
    if (name.isEmpty())
        name = configValue("gtk-4.0/settings.ini", "Settings", "gtk-icon-theme-name");
    if (name.isEmpty())
        name = configValue("gtk-3.0/settings.ini", "Settings", "gtk-icon-theme-name");
    if (name.isEmpty())
        name = configValue("kdeglobals", "Icons", "Theme");
    if (name.isEmpty())
        name = gtk2Theme();
    // A name is one folder below an icon base folder, never a path.
    if (name.isEmpty() || name.contains(QLatin1Char('/')) || name.startsWith(QLatin1Char('.')))
        return QStringLiteral("hicolor");
    return name;
}

IconTheme::IconTheme(const QString& themeName) {
    const QString home = fromStd(xdg::homeDir());
    const QString dataHome = fromStd(xdg::dataHome());
    addUnique(m_baseFolders, home + QStringLiteral("/.icons"));
    addUnique(m_baseFolders, dataHome + QStringLiteral("/icons"));
    for (const std::string& dir : xdg::dataDirs())
        addUnique(m_baseFolders, fromStd(dir) + QStringLiteral("/icons"));
    // Flatpak applications are in the catalogue; their icons are exported here.
    addUnique(m_baseFolders, dataHome + QStringLiteral("/flatpak/exports/share/icons"));
    addUnique(m_baseFolders, QStringLiteral("/var/lib/flatpak/exports/share/icons"));

    m_fallbackFolders = m_baseFolders;
    for (const std::string& dir : xdg::dataDirs())
        addUnique(m_fallbackFolders, fromStd(dir) + QStringLiteral("/pixmaps"));
    addUnique(m_fallbackFolders, QStringLiteral("/usr/share/pixmaps"));

    addTheme(themeName, 0);
    addTheme(QStringLiteral("hicolor"), 0);
}

QStringList IconTheme::themeChain() const {
    QStringList names;
    for (const Theme& theme : m_themes)
        names.append(theme.name);
    return names;
}

void IconTheme::addTheme(const QString& name, int depth) {
    if (depth > kMaxInheritDepth || name.isEmpty() || name.contains(QLatin1Char('/')))
        return;
    for (const Theme& theme : m_themes)
        if (theme.name == name)
            return;

    Theme theme{name, {}, {}};
    std::optional<DesktopEntry> index;
    for (const QString& base : m_baseFolders) {
        const QString folder = base + QLatin1Char('/') + name;
        if (!QFileInfo(folder).isDir())
            continue;
        theme.folders.append(folder);
        if (!index)
            index = loadIni(folder + QStringLiteral("/index.theme"));
    }
    if (!index || !index->hasGroup("Icon Theme"))
        return;

    QStringList subdirs = commaList(index->string("Directories", "Icon Theme"));
    for (const QString& extra : commaList(index->string("ScaledDirectories", "Icon Theme")))
        addUnique(subdirs, extra);
    for (const QString& subdir : subdirs) {
        const std::string group = subdir.toStdString();
        Directory dir;
        dir.subdir = subdir;
        dir.size = toInt(index->string("Size", group), 0);
        if (dir.size <= 0)
            continue;
        dir.scale = std::max(1, toInt(index->string("Scale", group), 1));
        dir.minSize = toInt(index->string("MinSize", group), dir.size);
        dir.maxSize = toInt(index->string("MaxSize", group), dir.size);
        dir.threshold = toInt(index->string("Threshold", group), 2);
        const auto type = index->string("Type", group).value_or("Threshold");
        dir.type = type == "Fixed"      ? DirectoryType::Fixed
                   : type == "Scalable" ? DirectoryType::Scalable
                                        : DirectoryType::Threshold;
        theme.directories.append(dir);
    }

    const QStringList parents = commaList(index->string("Inherits", "Icon Theme"));
    m_themes.append(std::move(theme));
    for (const QString& parent : parents)
        addTheme(parent, depth + 1);
}

// Icons are looked up at scale 1: a 128-pixel square is wanted, whatever the screen.
bool IconTheme::Directory::matches(int wanted) const {
    if (scale != 1)
        return false;
    switch (type) {
    case DirectoryType::Fixed:
        return size == wanted;
    case DirectoryType::Scalable:
        return minSize <= wanted && wanted <= maxSize;
    case DirectoryType::Threshold:
        return size - threshold <= wanted && wanted <= size + threshold;
    }
    return false;
}

int IconTheme::Directory::distance(int wanted) const {
    int low = size, high = size;
    if (type == DirectoryType::Scalable) {
        low = minSize;
        high = maxSize;
    } else if (type == DirectoryType::Threshold) {
        low = size - threshold;
        high = size + threshold;
    }
    if (wanted < low * scale)
        return low * scale - wanted;
    if (wanted > high * scale)
        return wanted - high * scale;
    return 0;
}

std::optional<QString> IconTheme::findInTheme(const Theme& theme, const QString& name,
                                              int size) const {
    for (const Directory& dir : theme.directories) {
        if (!dir.matches(size))
            continue;
        for (const QString& folder : theme.folders)
            for (const char* extension : kExtensions) {
                const QString file = folder + QLatin1Char('/') + dir.subdir + QLatin1Char('/') +
                                     name + QLatin1String(extension);
                if (isFile(file))
                    return file;
            }
    }
    std::optional<QString> closest;
    int closestDistance = INT_MAX;
    for (const Directory& dir : theme.directories) {
        const int distance = dir.distance(size);
        if (distance >= closestDistance)
            continue;
        for (const QString& folder : theme.folders)
            for (const char* extension : kExtensions) {
                const QString file = folder + QLatin1Char('/') + dir.subdir + QLatin1Char('/') +
                                     name + QLatin1String(extension);
                if (distance < closestDistance && isFile(file)) {
                    closest = file;
                    closestDistance = distance;
                }
            }
    }
    return closest;
}

std::optional<QString> IconTheme::findIcon(const QString& name, int size) const {
    if (name.startsWith(QLatin1Char('/')))
        return isFile(name) ? std::optional(name) : std::nullopt;
    if (name.isEmpty() || name.contains(QLatin1Char('/')) || name.startsWith(QLatin1Char('.')))
        return std::nullopt;

    // Old entries name the file ("foo.png"); themes hold it by its bare name.
    QString bare = name;
    for (const char* extension : kExtensions)
        if (name.endsWith(QLatin1String(extension)))
            bare.chop(int(qstrlen(extension)));

    for (const Theme& theme : m_themes)
        if (auto file = findInTheme(theme, bare, size))
            return file;
    for (const QString& folder : m_fallbackFolders) {
        for (const char* extension : kExtensions)
            if (const QString file = folder + QLatin1Char('/') + bare + QLatin1String(extension);
                isFile(file))
                return file;
        if (bare != name && isFile(folder + QLatin1Char('/') + name))
            return folder + QLatin1Char('/') + name;
    }
    return std::nullopt;
}
