#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <optional>

// Finds icon files by the freedesktop.org icon theme rules: a theme, the themes it inherits and
// hicolor, in the icon folders of the XDG data directories (flatpak exports included), then the
// unthemed fallback folders ending with /usr/share/pixmaps. PNG, SVG and XPM files count.
//
// A lookup reads the file system only; it keeps no shared state, so any thread may build and use
// its own. The folders are those the environment names when it is built.
class IconTheme {
public:
    // The icon theme the user chose for their desktop, read without a running session where
    // possible: kdeglobals for KDE, the desktop's settings program for GNOME-like desktops and
    // Xfce, then the GTK settings.ini files, kdeglobals and ~/.gtkrc-2.0. "hicolor" when none
    // names one.
    static QString currentThemeName();

    // A lookup over `themeName`, the themes it inherits, then hicolor.
    explicit IconTheme(const QString& themeName);

    // The names of the themes searched, in order (only themes that exist).
    QStringList themeChain() const;

    // The file for the icon called `name` whose size is nearest to `size` pixels: an exact fit
    // in the first theme that has one, else the closest size there, else the next theme, else
    // the fallback folders. An absolute `name` is used as is when a file exists there. Nothing
    // when no file is found.
    std::optional<QString> findIcon(const QString& name, int size) const;

private:
    enum class DirectoryType { Fixed, Scalable, Threshold };
    struct Directory {
        QString subdir;
        int size = 0;
        int scale = 1;
        int minSize = 0;
        int maxSize = 0;
        int threshold = 2;
        DirectoryType type = DirectoryType::Threshold;

        bool matches(int wanted) const;
        int distance(int wanted) const;
    };
    struct Theme {
        QString name;
        QStringList folders; // the theme's folder in each icon base folder that has one
        QList<Directory> directories;
    };

    void addTheme(const QString& name, int depth);
    std::optional<QString> findInTheme(const Theme& theme, const QString& name, int size) const;

    QStringList m_baseFolders;
    QStringList m_fallbackFolders;
    QList<Theme> m_themes;
};
