#include "LocalServer.h"

#include "AgentContext.h"
#include "AgentCore.h"
#include "AgentError.h"
#include "DefaultConsoleUrl.h"
#include "HttpRequest.h"
#include "TempEnvironment.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// A raw loopback client. Every wait pumps the test's event loop, since routes that read the
// core hop to this (the main) thread.
class Client {
public:
    explicit Client(quint16 port, int receiveBuffer = 0) {
        m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
        if (receiveBuffer > 0)
            ::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        ::fcntl(m_fd, F_SETFL, O_NONBLOCK);
    }
    ~Client() { ::close(m_fd); }

    void send(const QByteArray& bytes) {
        qsizetype done = 0;
        ASSERT_TRUE(waitUntil([&] {
            const ssize_t sent =
                ::send(m_fd, bytes.constData() + done, size_t(bytes.size() - done), MSG_NOSIGNAL);
            if (sent > 0)
                done += sent;
            return done == bytes.size() || (sent < 0 && errno != EAGAIN);
        }));
    }
    void finishSending() { ::shutdown(m_fd, SHUT_WR); }

    // Everything up to the server's close.
    QByteArray readToEnd() {
        EXPECT_TRUE(waitUntil([&] { return pump(); }));
        return std::exchange(m_received, QByteArray());
    }
    // Exactly `count` bytes (fewer only if the server closes first).
    QByteArray read(qsizetype count) {
        EXPECT_TRUE(waitUntil([&] { return pump() || m_received.size() >= count; }));
        const QByteArray head = m_received.left(count);
        m_received.remove(0, head.size());
        return head;
    }
    // Whether anything arrived or the server closed while the event loop ran a while.
    bool quiet() {
        waitUntil([&] { return pump() || !m_received.isEmpty(); }, std::chrono::milliseconds(200));
        return m_received.isEmpty() && !m_closed;
    }

private:
    // Reads what is there; true once the server has closed.
    bool pump() {
        char chunk[65536];
        for (;;) {
            const ssize_t got = ::recv(m_fd, chunk, sizeof chunk, 0);
            if (got > 0) {
                m_received.append(chunk, got);
                continue;
            }
            if (got == 0 || errno != EAGAIN)
                m_closed = true;
            return m_closed;
        }
    }

    int m_fd;
    QByteArray m_received;
    bool m_closed = false;
};

QByteArray response(const char* status, const QByteArray& body) {
    return "HTTP/1.1 " + QByteArray(status) +
           "\r\ncontent-type: application/json\r\naccess-control-allow-origin: *\r\n"
           "access-control-allow-methods: GET,POST,OPTIONS\r\naccess-control-allow-headers: "
           "content-type\r\ncontent-length: " +
           QByteArray::number(body.size()) + "\r\nconnection: close\r\n\r\n" + body;
}

const QByteArray kAck = R"({"ok":true})";
const QByteArray kNotFound = R"({"message":"Not found","ok":false})";
const QByteArray kMissing = R"({"message":"Missing action","ok":false})";
const QByteArray kForbidden = R"({"message":"Forbidden","ok":false})";
const QByteArray kStatus =
    R"({"activeApp":"Mail","at":"2024-05-01T10:00:00.000Z","bundleId":"org.mail","windowTitle":"Inbox — Mail"})";

AgentContext context(const QString& title) {
    AgentContext c;
    c.activeApp = QStringLiteral("Mail");
    c.bundleId = QStringLiteral("org.mail");
    c.windowTitle = title;
    c.at = QStringLiteral("2024-05-01T10:00:00.000Z");
    return c;
}

class ServerFixture : public testing::Test {
protected:
    TempEnvironment env;
    AgentCore core;
    std::unique_ptr<LocalServer> server;

    void startServer(ServerLimits limits = {}) {
        core.lastContext = context(QStringLiteral("Inbox — Mail"));
        core.pairing = Pairing{QStringLiteral("https://cloud.example/"), QStringLiteral("AB12CD"),
                               QStringLiteral("s")};
        server = std::make_unique<LocalServer>(&core, 0, limits);
        server->start();
    }
    void SetUp() override { startServer(); }

    QByteArray exchange(const QByteArray& request) {
        Client client(server->port());
        client.send(request);
        return client.readToEnd();
    }

    // Every connection the server dropped or finished is freed.
    void expectAllClosed() {
        EXPECT_TRUE(waitUntil([&] { return server->connectionCount() == 0; }));
        EXPECT_EQ(server->eventStreamCount(), 0);
    }
};

struct Case {
    const char* name;
    QByteArray request;
    QByteArray expected;
};

void PrintTo(const Case& c, std::ostream* os) {
    *os << c.name;
}

class Answers : public ServerFixture, public testing::WithParamInterface<Case> {};

TEST_P(Answers, ExactBytes) {
    EXPECT_EQ(exchange(GetParam().request).toStdString(), GetParam().expected.toStdString());
    expectAllClosed();
}

QByteArray post(const QByteArray& body) {
    return "POST /action HTTP/1.1\r\nContent-Length: " + QByteArray::number(body.size()) +
           "\r\n\r\n" + body;
}

QByteArray withHeader(const char* path, const QByteArray& header) {
    return "GET " + QByteArray(path) + " HTTP/1.1\r\n" + header + "\r\n\r\n";
}

INSTANTIATE_TEST_SUITE_P(
    Routes, Answers,
    testing::Values(
        Case{"Health", "GET /health HTTP/1.1\r\n\r\n", response("200 OK", kAck)},
        Case{"HealthQueryIgnored", "GET /health?x=1 HTTP/1.1\r\n\r\n", response("200 OK", kAck)},
        Case{"OptionsAnyPath", "OPTIONS /nowhere HTTP/1.1\r\n\r\n", response("200 OK", kAck)},
        Case{"StatusIsLastContext", "GET /status HTTP/1.1\r\n\r\n", response("200 OK", kStatus)},
        Case{"LowerCaseMethod", "get /health HTTP/1.1\r\n\r\n",
             response("404 Not Found", kNotFound)},
        Case{"PostToHealth", "POST /health HTTP/1.1\r\n\r\n", response("404 Not Found", kNotFound)},
        Case{"GetAction", "GET /action HTTP/1.1\r\n\r\n", response("404 Not Found", kNotFound)},
        Case{"Head", "HEAD /health HTTP/1.1\r\n\r\n", response("404 Not Found", kNotFound)},
        Case{"PathNotDecoded", "GET /st%61tus HTTP/1.1\r\n\r\n",
             response("404 Not Found", kNotFound)},
        Case{"ActionNoBody", post(""), response("400 Bad Request", kMissing)},
        Case{"ActionNotJson", post("{action"), response("400 Bad Request", kMissing)},
        Case{"ActionArray", post(R"([{"action":{}}])"), response("400 Bad Request", kMissing)},
        Case{"ActionKeyMissing", post(R"({"type":"url"})"), response("400 Bad Request", kMissing)},
        Case{"ActionIsText", post(R"({"action":"workflow"})"),
             response("400 Bad Request", kMissing)},
        Case{"ActionRefused", post(R"({"action":{"type":"Launch"}})"),
             response("400 Bad Request", R"({"message":"Unsupported action type","ok":false})")},
        // Passes once the real dispatcher is in: an empty workflow runs no process.
        Case{"ActionRuns", post(R"({"action":{"type":"workflow","steps":[]}})"),
             response("200 OK", R"({"message":"Workflow ran 0 steps","ok":true})")},
        // Guards against DNS rebinding and foreign pages.
        Case{"HostLoopbackWithPort", withHeader("/status", "Host: 127.0.0.1:17345"),
             response("200 OK", kStatus)},
        Case{"HostLocalhostAnyCase", withHeader("/status", "Host: LocalHost"),
             response("200 OK", kStatus)},
        Case{"HostIpv6Loopback", withHeader("/status", "Host: [::1]:80"),
             response("200 OK", kStatus)},
        Case{"HostForeign", withHeader("/health", "Host: rebind.example:17345"),
             response("403 Forbidden", kForbidden)},
        Case{"HostLoopbackPrefix", withHeader("/health", "Host: 127.0.0.1.evil.example"),
             response("403 Forbidden", kForbidden)},
        Case{"HostSecondForeign", withHeader("/health", "Host: localhost\r\nHost: evil.example"),
             response("403 Forbidden", kForbidden)},
        Case{"HostForeignOptions", "OPTIONS /x HTTP/1.1\r\nHost: evil.example\r\n\r\n",
             response("403 Forbidden", kForbidden)},
        Case{"OriginForeignOnStatus", withHeader("/status", "Origin: https://evil.example"),
             response("403 Forbidden", kForbidden)},
        Case{"OriginNull", withHeader("/status", "Origin: null"),
             response("403 Forbidden", kForbidden)},
        Case{"OriginForeignOnAction",
             "POST /action HTTP/1.1\r\nOrigin: http://evil.example\r\n\r\n",
             response("403 Forbidden", kForbidden)},
        Case{"OriginForeignOnUnknownPath", withHeader("/nowhere", "Origin: http://evil.example"),
             response("403 Forbidden", kForbidden)},
        Case{"OriginCloudOtherPort", withHeader("/status", "Origin: https://cloud.example:444"),
             response("403 Forbidden", kForbidden)},
        Case{"OriginCloudOtherScheme", withHeader("/status", "Origin: http://cloud.example"),
             response("403 Forbidden", kForbidden)},
        Case{"OriginForeignOnHealth", withHeader("/health", "Origin: https://evil.example"),
             response("200 OK", kAck)},
        Case{"OriginForeignPreflight",
             "OPTIONS /action HTTP/1.1\r\nOrigin: https://evil.example\r\n\r\n",
             response("200 OK", kAck)},
        Case{"OriginLoopback", withHeader("/status", "Origin: http://localhost:3000"),
             response("200 OK", kStatus)},
        Case{"OriginLoopbackIpv6", withHeader("/status", "Origin: http://[::1]:8080"),
             response("200 OK", kStatus)},
        Case{"OriginPairedCloud", withHeader("/status", "Origin: https://cloud.example"),
             response("200 OK", kStatus)},
        Case{"OriginDefaultConsole",
             withHeader("/status", "Origin: " + defaultConsoleUrl().toUtf8()),
             response("200 OK", kStatus)}));

TEST_F(ServerFixture, CapabilitiesListTheAgentsAbilities) {
    const QByteArray answer = exchange("GET /capabilities HTTP/1.1\r\n\r\n");
    const qsizetype bodyStart = answer.indexOf("\r\n\r\n") + 4;
    EXPECT_EQ(answer.left(bodyStart).toStdString(),
              response("200 OK", answer.mid(bodyStart)).left(bodyStart).toStdString());
    QJsonObject body = QJsonDocument::fromJson(answer.mid(bodyStart)).object();
    QStringList actions;
    for (const QJsonValue& action : body.take(QStringLiteral("actions")).toArray())
        actions.append(action.toString());
    actions.sort();
    EXPECT_EQ(actions.join(QLatin1Char(',')).toStdString(), "launch,shortcut,system,url,workflow");
    EXPECT_EQ(
        QJsonDocument(body).toJson(QJsonDocument::Compact).toStdString(),
        R"({"context":["frontmost-app","bundle-id"],"contextDetails":["window-title","browser-url"],)"
        R"("features":["app-list","app-icon","named-keys","system-actions","audio-devices"],)"
        R"("limits":{"maxWorkflowDepth":3,"maxWorkflowSteps":12,"urlProtocols":["http","https"]},)"
        R"("ok":true,"platform":"linux"})");
}

TEST_F(ServerFixture, BufferLimitIsOneMillionBytes) {
    for (const qsizetype total : {1'000'000, 1'000'001}) {
        const QByteArray head = "POST /nowhere HTTP/1.1\r\nContent-Length: 0000000\r\n\r\n";
        const QByteArray length = QByteArray::number(total - head.size()).rightJustified(7, '0');
        QByteArray request = head;
        request.replace("0000000", length);
        request.append(total - head.size(), 'x');
        ASSERT_EQ(request.size(), total);
        const QByteArray expected =
            total == 1'000'000 ? response("404 Not Found", kNotFound) : QByteArray();
        EXPECT_EQ(exchange(request).toStdString(), expected.toStdString()) << total;
    }
    expectAllClosed();
}

TEST_F(ServerFixture, HalfRequestThenShutdownIsClosedUnanswered) {
    Client client(server->port());
    client.send("GET /health HTTP/1.1\r\n");
    client.finishSending();
    EXPECT_EQ(client.readToEnd().toStdString(), "");
    expectAllClosed();
}

// Pins a lost answer: a peer that half-closes after a whole request still gets the answer, even
// when the route first hops to the main thread.
TEST_F(ServerFixture, RequestThenShutdownIsStillAnswered) {
    Client client(server->port());
    client.send("GET /status HTTP/1.1\r\n\r\n");
    client.finishSending();
    EXPECT_EQ(client.readToEnd().toStdString(), response("200 OK", kStatus).toStdString());
}

TEST_F(ServerFixture, OnlyTheFirstPipelinedRequestIsAnswered) {
    EXPECT_EQ(exchange("GET /health HTTP/1.1\r\n\r\nGET /nowhere HTTP/1.1\r\n\r\n").toStdString(),
              response("200 OK", kAck).toStdString());
}

// Bytes still arriving after the request must not reset the connection over the answer: the
// server waits for the peer to finish before it closes.
TEST_F(ServerFixture, InputStillArrivingAfterTheRequestKeepsTheAnswer) {
    Client client(server->port());
    client.send("GET /health HTTP/1.1\r\n\r\n" + QByteArray(300'000, 'x'));
    client.finishSending();
    EXPECT_EQ(client.readToEnd().toStdString(), response("200 OK", kAck).toStdString());
    expectAllClosed();
}

TEST_F(ServerFixture, GarbageAndVanishingClientsLeaveOthersServed) {
    {
        std::vector<std::unique_ptr<Client>> clients;
        for (int i = 0; i < 50; ++i) {
            clients.push_back(std::make_unique<Client>(server->port()));
            clients.back()->send(
                i % 2 ? QByteArray("\x00\xff\r\n\n\r GET", 9)
                      : QByteArray("POST /action HTTP/1.1\r\nContent-Length: 99\r\n\r\n{"));
        }
        EXPECT_EQ(exchange("GET /health HTTP/1.1\r\n\r\n").toStdString(),
                  response("200 OK", kAck).toStdString());
    }
    expectAllClosed();
}

// Pins connections held forever by clients that never finish a request.
TEST_F(ServerFixture, IdleConnectionIsClosedAfterTheLimit) {
    ServerLimits limits;
    limits.idleLimit = std::chrono::milliseconds(100);
    limits.maxEventStreams = 1;
    startServer(limits);
    Client silent(server->port());
    Client partial(server->port());
    partial.send("GET /health HTTP/1.1\r\n");
    EXPECT_EQ(silent.readToEnd().toStdString(), "");
    EXPECT_EQ(partial.readToEnd().toStdString(), "");
    {
        // Pins unbounded event streams: one past the cap is refused in the usual framing.
        Client first(server->port()), second(server->port());
        first.send("GET /events HTTP/1.1\r\n\r\n");
        ASSERT_TRUE(waitUntil([&] { return server->eventStreamCount() == 1; }));
        second.send("GET /events HTTP/1.1\r\n\r\n");
        EXPECT_EQ(second.readToEnd().toStdString(),
                  response("503 Service Unavailable",
                           R"({"message":"Too many event streams","ok":false})")
                      .toStdString());
    }
    // Pins an answer the peer never takes holding its connection for ever.
    core.lastContext.windowTitle = QString(16 << 20, QLatin1Char('t'));
    Client stalled(server->port(), 4096);
    stalled.send("GET /status HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(waitUntil([&] { return server->connectionCount() == 1; }));
    expectAllClosed();
}

// Pins a server that spun and went deaf at the descriptor limit: in a child process with few
// descriptors left, a flood of silent clients makes room for a request instead of burying it.
TEST_F(ServerFixture, OutOfDescriptorsKeepsAnswering) {
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        LocalServer limited(nullptr, 0, {}, [](const HttpRequest&, const LocalConnection& c) {
            c.send(QStringLiteral("200 OK"), kAck);
        });
        limited.start();
        const int lowestFree = ::dup(0);
        const rlimit few{rlim_t(lowestFree + 4), rlim_t(lowestFree + 4)};
        const quint16 port = limited.port();
        if (::setrlimit(RLIMIT_NOFILE, &few) != 0 || ::write(pipeFds[1], &port, 2) != 2)
            ::_exit(1);
        ::pause();
    }
    quint16 port = 0;
    ASSERT_EQ(::read(pipeFds[0], &port, 2), 2);
    std::vector<std::unique_ptr<Client>> silent;
    for (int i = 0; i < 40; ++i)
        silent.push_back(std::make_unique<Client>(port));
    Client health(port);
    health.send("GET /health HTTP/1.1\r\n\r\n");
    EXPECT_EQ(health.readToEnd().toStdString(), response("200 OK", kAck).toStdString());
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
}

TEST_F(ServerFixture, BindFailureThrows) {
    LocalServer second(&core, server->port());
    EXPECT_THROW(second.start(), SystemError);
    second.broadcast(core.lastContext); // still serves an empty registry
}

TEST_F(ServerFixture, EventStreamGetsOpeningThenOneFramePerBroadcast) {
    const QByteArray header =
        "HTTP/1.1 200 OK\r\ncontent-type: text/event-stream\r\ncache-control: "
        "no-cache\r\nconnection: keep-alive\r\naccess-control-allow-origin: *\r\n\r\n";
    ASSERT_EQ(header.size(), 133);
    const QByteArray first = "data: " + kStatus + "\n\n";
    auto client = std::make_unique<Client>(server->port());
    client->send("GET /events HTTP/1.1\r\n\r\n");
    EXPECT_EQ(client->read(header.size() + first.size()).toStdString(),
              (header + first).toStdString());
    ASSERT_EQ(server->eventStreamCount(), 1);

    for (const QString& title : {QStringLiteral("line\nbreak"), QStringLiteral("Drafts")}) {
        server->broadcast(context(title));
        QJsonObject expected = context(title).jsonObject();
        const QByteArray frame =
            "data: " + QJsonDocument(expected).toJson(QJsonDocument::Compact) + "\n\n";
        ASSERT_EQ(frame.count('\n'), 2);
        EXPECT_EQ(client->read(frame.size()).toStdString(), frame.toStdString());
    }
    EXPECT_TRUE(client->quiet());

    client.reset();
    EXPECT_TRUE(waitUntil([&] { return server->eventStreamCount() == 0; }));
    server->broadcast(core.lastContext);
    expectAllClosed();
}

// Pins unbounded memory: a stream client that never reads is dropped once 1 MiB waits unsent,
// while a reading client keeps its stream.
TEST_F(ServerFixture, StreamThatNeverReadsIsDroppedPastTheBacklogLimit) {
    Client reader(server->port());
    Client stalled(server->port(), 4096);
    for (Client* client : {&reader, &stalled})
        client->send("GET /events HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(waitUntil([&] { return server->eventStreamCount() == 2; }));
    const AgentContext big = context(QString(60'000, QLatin1Char('t')));
    const qsizetype frameSize = LocalServer::eventFrame(big).size();
    qsizetype opening = 0;
    for (int i = 0; i < 1000 && server->eventStreamCount() == 2; ++i) {
        server->broadcast(big);
        const QByteArray got = reader.read(i == 0 ? 1 : frameSize);
        if (i == 0)
            opening = reader.read(133 + kStatus.size() + 8 - 1 + frameSize).size() + 1;
        ASSERT_FALSE(got.isEmpty());
    }
    EXPECT_GT(opening, 0);
    EXPECT_EQ(server->eventStreamCount(), 1);
    server->broadcast(core.lastContext);
    EXPECT_EQ(reader.read(LocalServer::eventFrame(core.lastContext).size()).toStdString(),
              LocalServer::eventFrame(core.lastContext).toStdString());
}

} // namespace
