// GET /apps and GET /app-icon through real sockets. The agent's catalogue reads the XDG folders
// once, on first use, so this binary holds a single test whose private home exists before that.
#include "AgentCore.h"
#include "LocalServer.h"
#include "TempEnvironment.h"

#include <QHostAddress>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpSocket>
#include <gtest/gtest.h>

namespace {

struct Reply {
    QByteArray statusLine;
    QJsonObject body;
};

// One blocking request: these routes never need the main thread, so the test may wait on it.
Reply get(quint16 port, const QByteArray& target) {
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    EXPECT_TRUE(socket.waitForConnected(20000));
    socket.write("GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    while (socket.waitForReadyRead(20000)) {
    } // until the server closes
    const QByteArray received = socket.readAll();
    const qsizetype split = received.indexOf("\r\n\r\n");
    return {received.left(received.indexOf("\r\n")),
            QJsonDocument::fromJson(received.mid(split + 4)).object()};
}

TEST(AppRoutes, ListAndIconThroughTheLoopbackServer) {
    TempEnvironment env;
    const QString apps = env.dataHome() + QStringLiteral("/applications");
    const QString entry = apps + QStringLiteral("/org.example.Round.desktop");
    ASSERT_TRUE(writeTestFile(entry, "[Desktop Entry]\nType=Application\nName=Round\n"
                                     "Exec=true\nIcon=" +
                                         (env.path() + QStringLiteral("/round.png")).toUtf8()));
    // How the icon is drawn is the catalogue's concern; here it only has to arrive.
    QImage disc(32, 32, QImage::Format_ARGB32);
    disc.fill(Qt::darkGreen);
    ASSERT_TRUE(disc.save(env.path() + QStringLiteral("/round.png")));

    AgentCore core;
    LocalServer server(&core, 0);
    server.start();

    const Reply list = get(server.port(), "/apps");
    EXPECT_EQ(list.statusLine, "HTTP/1.1 200 OK");
    EXPECT_EQ(list.body.value(QStringLiteral("ok")), true);
    EXPECT_FALSE(list.body.value(QStringLiteral("generatedAt")).toString().isEmpty());
    EXPECT_EQ(
        list.body.value(QStringLiteral("apps")).toArray(),
        QJsonArray({QJsonObject{{QStringLiteral("name"), QStringLiteral("Round")},
                                {QStringLiteral("bundleId"), QStringLiteral("org.example.Round")},
                                {QStringLiteral("path"), entry}}}));

    const Reply icon = get(server.port(), "/app-icon?name=%20roun&x=1");
    EXPECT_EQ(icon.statusLine, "HTTP/1.1 200 OK");
    EXPECT_EQ(icon.body.value(QStringLiteral("ok")), true);
    EXPECT_EQ(icon.body.size(), 4);
    EXPECT_EQ(icon.body.value(QStringLiteral("name")), QStringLiteral("org.example.Round"));
    EXPECT_EQ(icon.body.value(QStringLiteral("path")), entry);
    const QString url = icon.body.value(QStringLiteral("dataUrl")).toString();
    const QImage png = QImage::fromData(
        QByteArray::fromBase64(url.section(QLatin1Char(','), 1).toLatin1()), "PNG");
    EXPECT_TRUE(url.startsWith(QStringLiteral("data:image/png;base64,")));
    EXPECT_EQ(png.size(), QSize(128, 128));

    const Reply missing = get(server.port(), "/app-icon?bundleId=nothing");
    EXPECT_EQ(missing.statusLine, "HTTP/1.1 404 Not Found");
    EXPECT_EQ(missing.body,
              (QJsonObject{{QStringLiteral("ok"), false},
                           {QStringLiteral("message"), QStringLiteral("App not found")}}));
}

} // namespace
