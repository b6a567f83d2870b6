// The Wayland witness window, as the Xlib test client is on X11: a native Wayland window with
// the given app_id and title that logs each non-modifier key press as "KEYSYM-HEX MODS"
// (MODS: the held modifiers as letters c, s, a, "-" for none) and takes a new title whenever
// the title file changes.
// wayland-test-client --app-id ID --title T --log FILE [--title-file FILE]

#include <QFile>
#include <QFileSystemWatcher>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QPainter>
#include <QRasterWindow>

namespace {

class Witness : public QRasterWindow {
public:
    QString logPath;

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter(this).fillRect(QRect(QPoint(), size()), Qt::white);
    }
    void keyPressEvent(QKeyEvent* event) override {
        const quint32 keysym = event->nativeVirtualKey();
        // Modifier keys themselves are not the chord's key.
        if (keysym >= 0xffe1 && keysym <= 0xffee)
            return;
        QByteArray mods;
        if (event->modifiers() & Qt::ControlModifier)
            mods += 'c';
        if (event->modifiers() & Qt::ShiftModifier)
            mods += 's';
        if (event->modifiers() & Qt::AltModifier)
            mods += 'a';
        QFile log(logPath);
        if (log.open(QIODevice::Append))
            log.write(QByteArray::number(keysym, 16) + ' ' + (mods.isEmpty() ? "-" : mods) + '\n');
    }
};

} // namespace

int main(int argc, char** argv) {
    QString appId = QStringLiteral("vantor-test-client"), title = QStringLiteral("Test window");
    QString logPath = QStringLiteral("/dev/null"), titleFile;
    for (int i = 1; i + 1 < argc; i += 2) {
        const QByteArray arg = argv[i];
        const QString value = QString::fromUtf8(argv[i + 1]);
        if (arg == "--app-id")
            appId = value;
        else if (arg == "--title")
            title = value;
        else if (arg == "--log")
            logPath = value;
        else if (arg == "--title-file")
            titleFile = value;
    }
    QGuiApplication::setDesktopFileName(appId);
    QGuiApplication app(argc, argv);
    Witness window;
    window.logPath = logPath;
    window.setTitle(title);
    window.resize(320, 200);
    window.show();

    QFileSystemWatcher watcher;
    if (!titleFile.isEmpty()) {
        if (QFile file(titleFile); !file.open(QIODevice::WriteOnly | QIODevice::Append))
            return 2;
        watcher.addPath(titleFile);
        QObject::connect(&watcher, &QFileSystemWatcher::fileChanged, [&] {
            QFile file(titleFile);
            if (file.open(QIODevice::ReadOnly))
                window.setTitle(QString::fromUtf8(file.readAll()));
            watcher.addPath(titleFile); // a replaced file drops out of the watch
        });
    }
    return QGuiApplication::exec();
}
