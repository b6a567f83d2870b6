// The Wayland witness window, as the Xlib test client is on X11: a native Wayland window with
// the given app_id and title that logs each non-modifier key press as "KEYSYM-HEX MODS"
// (MODS: the held modifiers as letters c, s, a, "-" for none) and takes a new title whenever
// the title file changes. It makes LOG.active once it has had the keyboard.
// wayland-test-client --app-id ID --title T --log LOG [--title-file FILE]

#include <QFile>
#include <QFileSystemWatcher>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QPainter>
#include <QRasterWindow>
#include <map>

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
        const Qt::KeyboardModifier held[] = {Qt::ControlModifier, Qt::ShiftModifier,
                                             Qt::AltModifier};
        for (int i = 0; i < 3; ++i)
            if (event->modifiers() & held[i])
                mods += "csa"[i];
        QFile log(logPath);
        if (log.open(QIODevice::Append))
            log.write(QByteArray::number(keysym, 16) + ' ' + (mods.isEmpty() ? "-" : mods) + '\n');
    }
};

} // namespace

int main(int argc, char** argv) {
    std::map<QByteArray, QString> args{{"--app-id", QStringLiteral("vantor-test-client")},
                                       {"--title", QStringLiteral("Test window")},
                                       {"--log", QStringLiteral("/dev/null")}};
    for (int i = 1; i + 1 < argc; i += 2)
        args[argv[i]] = QString::fromUtf8(argv[i + 1]);
    const QString titleFile = args["--title-file"];
    QGuiApplication::setDesktopFileName(args["--app-id"]);
    QGuiApplication app(argc, argv);
    Witness window;
    window.logPath = args["--log"];
    window.setTitle(args["--title"]);
    window.resize(320, 200);
    window.show();
    QObject::connect(&window, &QWindow::activeChanged, [&] {
        // A marker only: a test that finds none waits until its own deadline.
        static_cast<void>(QFile(window.logPath + QStringLiteral(".active")).open(QFile::WriteOnly));
    });

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
