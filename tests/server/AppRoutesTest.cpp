// GET /apps and GET /app-icon through real sockets. The agent's catalogue reads the XDG folders
// once, on first use, so this binary holds a single test whose private home exists before that.
#include "AgentCore.h"
#include "LocalServer.h"
#include "TempEnvironment.h"

#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPainter>
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

struct Reply {
    QByteArray statusLine;
    QJsonObject body;
};

// One blocking request: these routes never need the main thread, so the test may wait on it.
Reply get(quint16 port, const QByteArray& target) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const timeval timeout{20, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    const QByteArray request = "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    EXPECT_EQ(::send(fd, request.constData(), size_t(request.size()), MSG_NOSIGNAL),
              ssize_t(request.size()));
    QByteArray received;
    char chunk[65536];
    for (ssize_t got; (got = ::recv(fd, chunk, sizeof chunk, 0)) > 0;)
        received.append(chunk, got);
    ::close(fd);
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
    QImage disc(32, 32, QImage::Format_ARGB32);
    disc.fill(Qt::transparent);
    {
        QPainter painter(&disc);
        painter.setBrush(Qt::darkGreen);
        painter.drawEllipse(QRect(0, 0, 31, 31));
    }
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
    EXPECT_EQ(icon.body.value(QStringLiteral("name")), QStringLiteral("org.example.Round"));
    EXPECT_EQ(icon.body.value(QStringLiteral("path")), entry);
    const QString url = icon.body.value(QStringLiteral("dataUrl")).toString();
    const QImage png = QImage::fromData(
        QByteArray::fromBase64(url.section(QLatin1Char(','), 1).toLatin1()), "PNG");
    EXPECT_TRUE(url.startsWith(QStringLiteral("data:image/png;base64,")));
    EXPECT_EQ(png.size(), QSize(128, 128));
    EXPECT_TRUE(png.hasAlphaChannel());
    EXPECT_EQ(qAlpha(png.pixel(0, 0)) + qAlpha(png.pixel(127, 0)) + qAlpha(png.pixel(127, 127)), 0);
    EXPECT_EQ(qAlpha(png.pixel(64, 64)), 255);

    for (const QByteArray& target :
         QByteArrayList{"/app-icon", "/app-icon?bundleId=nothing",
                        "/app-icon?path=" + entry.toUtf8() + "/../../x.desktop"}) {
        const Reply missing = get(server.port(), target);
        EXPECT_EQ(missing.statusLine, "HTTP/1.1 404 Not Found") << target.constData();
        EXPECT_EQ(missing.body,
                  (QJsonObject{{QStringLiteral("ok"), false},
                               {QStringLiteral("message"), QStringLiteral("App not found")}}));
    }
}

} // namespace
