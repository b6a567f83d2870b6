#include "LocalServer.h"

#include "AgentContext.h"
#include "AgentCore.h"
#include "AgentError.h"
#include "DefaultConsoleUrl.h"
#include "HttpRequest.h"
#include "Log.h"
#include "PeerOwner.h"
#include "ServerLoop.h"
#include "TempEnvironment.h"
#include "TestDesktop.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <grp.h>
#include <gtest/gtest.h>
#include <limits>
#include <netinet/in.h>
#include <sys/fsuid.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

// A raw loopback client. Every wait pumps the test's event loop, since routes that read the
// core hop to this (the main) thread.
class Client {
public:
    explicit Client(quint16 port, int receiveBuffer = 0, bool v6 = false)
        : m_fd(::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0)) {
        if (receiveBuffer > 0)
            ::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        sockaddr_in address{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
        sockaddr_in6 address6{AF_INET6, htons(port), 0, in6addr_loopback, 0};
        EXPECT_EQ(v6 ? ::connect(m_fd, reinterpret_cast<sockaddr*>(&address6), sizeof address6)
                     : ::connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address),
                  0);
        ::fcntl(m_fd, F_SETFL, O_NONBLOCK);
    }
    int fd() const { return m_fd; }
    ~Client() { ::close(m_fd); }

    // Sends everything, then shuts the sending side when asked.
    void send(const QByteArray& bytes, bool halfClose = false) {
        qsizetype done = 0;
        ASSERT_TRUE(waitUntil([&] {
            const ssize_t sent =
                ::send(m_fd, bytes.constData() + done, size_t(bytes.size() - done), MSG_NOSIGNAL);
            done += std::max<ssize_t>(sent, 0);
            return done == bytes.size() || (sent < 0 && errno != EAGAIN);
        }));
        if (halfClose)
            ::shutdown(m_fd, SHUT_WR);
    }
    // `count` bytes, fewer only if the server closes first; by default all until it closes.
    std::string read(qsizetype count = std::numeric_limits<qsizetype>::max()) {
        EXPECT_TRUE(waitUntil([&] { return pump() || m_received.size() >= count; }));
        const QByteArray head = m_received.left(count);
        m_received.remove(0, head.size());
        return head.toStdString();
    }
    // Whether nothing arrived and the server kept the connection while the event loop ran.
    bool quiet() {
        waitUntil([&] { return pump() || !m_received.isEmpty(); }, std::chrono::milliseconds(200));
        return m_received.isEmpty() && !m_closed;
    }

private:
    // Reads what is there; true once the server has closed.
    bool pump() {
        char chunk[65536];
        ssize_t got;
        while ((got = ::recv(m_fd, chunk, sizeof chunk, 0)) > 0)
            m_received.append(chunk, got);
        m_closed = m_closed || got == 0 || errno != EAGAIN;
        return m_closed;
    }

    int m_fd;
    QByteArray m_received;
    bool m_closed = false;
};

std::string response(const char* status, const QByteArray& body) {
    return ("HTTP/1.1 " + QByteArray(status) +
            "\r\ncontent-type: application/json\r\naccess-control-allow-origin: *\r\n"
            "access-control-allow-methods: GET,POST,OPTIONS\r\naccess-control-allow-headers: "
            "content-type\r\ncontent-length: " +
            QByteArray::number(body.size()) + "\r\nconnection: close\r\n\r\n" + body)
        .toStdString();
}

const QByteArray kAck = R"({"ok":true})";
const std::string kOk = response("200 OK", kAck);
const std::string kNotFound = response("404 Not Found", R"({"message":"Not found","ok":false})");
const std::string kMissing =
    response("400 Bad Request", R"({"message":"Missing action","ok":false})");
const std::string kForbidden = response("403 Forbidden", R"({"message":"Forbidden","ok":false})");
const std::string kOwnerOnly = response(
    "403 Forbidden", R"({"message":"This agent serves only the user who runs it","ok":false})");
const QByteArray kStatus =
    R"({"activeApp":"Mail","at":"2024-05-01T10:00:00.000Z","bundleId":"org.mail","windowTitle":"Inbox — Mail"})";
const std::string kStatusAnswer = response("200 OK", kStatus);
const QByteArray kStreamHeader =
    "HTTP/1.1 200 OK\r\ncontent-type: text/event-stream\r\ncache-control: no-cache\r\n"
    "connection: keep-alive\r\naccess-control-allow-origin: *\r\n\r\n";
const QByteArray kEvents = "GET /events HTTP/1.1\r\n\r\n";

AgentContext context(const QString& title, const std::optional<QString>& url = {}) {
    return {QStringLiteral("Mail"), QStringLiteral("org.mail"), title, url,
            QStringLiteral("2024-05-01T10:00:00.000Z")};
}

// A client made by this thread while it passes for `uid`: the kernel gives a socket the owner
// the creating thread has for files.
std::unique_ptr<Client> clientAs(uid_t uid, quint16 port, bool v6 = false) {
    ::setfsuid(uid);
    auto client = std::make_unique<Client>(port, 0, v6);
    ::setfsuid(::geteuid());
    return client;
}

std::string exchangeAs(quint16 port, const QByteArray& request, uid_t uid, bool halfClose = false) {
    const auto client = clientAs(uid, port);
    client->send(request, halfClose);
    return client->read();
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
        limits.portService.clear(); // this machine's own port service is not under test
        server = std::make_unique<LocalServer>(&core, 0, limits);
        server->start();
    }
    void SetUp() override { startServer(); }

    // The kernel gives a socket the owner that the creating thread has for files, so this thread
    // passes as nobody while it creates a client of another account.
    std::string exchange(const QByteArray& request, bool halfClose = false, bool asNobody = false) {
        return exchangeAs(server->port(), request, asNobody ? 65534 : ::geteuid(), halfClose);
    }

    // The log lines starting with `prefix` while the test runs; the observer ends with the test.
    QStringList refusals;
    void collectRefusals(const char* prefix) {
        setLogObserver([this, prefix](const QString& line) {
            if (line.startsWith(QLatin1String(prefix)))
                refusals.append(line);
        });
    }
    void TearDown() override { setLogObserver({}); }

    // Every connection the server dropped or finished is freed.
    void expectAllClosed() {
        EXPECT_TRUE(waitUntil([&] { return server->connectionCount() == 0; }));
        EXPECT_EQ(server->eventStreamCount(), 0);
    }
};

QByteArray post(const QByteArray& body) {
    return "POST /action HTTP/1.1\r\nContent-Length: " + QByteArray::number(body.size()) +
           "\r\n\r\n" + body;
}

// A request of exactly `total` bytes to a path that does not exist.
QByteArray sized(qsizetype total) {
    QByteArray request = "POST /nowhere HTTP/1.1\r\nContent-Length: 0000000\r\n\r\n";
    const qsizetype body = total - request.size();
    request.replace("0000000", QByteArray::number(body).rightJustified(7, '0'));
    return request.append(body, 'x');
}

QByteArray withHeader(const char* path, const QByteArray& header) {
    return "GET " + QByteArray(path) + " HTTP/1.1\r\n" + header + "\r\n\r\n";
}

// Every answer byte for byte, each on its own connection, which is then freed.
TEST_F(ServerFixture, AnswersExactBytes) {
    // clang-format off
    // halfClose: the client shuts its sending side after the request.
    const struct { const char* name; QByteArray request; std::string expected; bool halfClose = false; } cases[] = {
        {"HealthQueryIgnored", "GET /health?x=1 HTTP/1.1\r\n\r\n", kOk},
        {"OptionsAnyPath", "OPTIONS /nowhere HTTP/1.1\r\n\r\n", kOk},
        {"Capabilities", "GET /capabilities HTTP/1.1\r\n\r\n", response("200 OK",
         R"({"actions":["launch","url","shortcut","workflow","system"],"context":["frontmost-app","bundle-id"],)"
         R"("contextDetails":["window-title","browser-url"],"features":["app-list","app-icon","named-keys","system-actions","audio-devices"],)"
         R"("limits":{"maxWorkflowDepth":3,"maxWorkflowSteps":12,"urlProtocols":["http","https"]},"ok":true,"platform":"linux"})")},
        {"LowerCaseMethod", "get /health HTTP/1.1\r\n\r\n", kNotFound},
        {"PostToHealth", "POST /health HTTP/1.1\r\n\r\n", kNotFound},
        {"GetAction", "GET /action HTTP/1.1\r\n\r\n", kNotFound},
        {"ActionNotJson", post("{action"), kMissing},
        {"ActionIsText", post(R"({"action":"workflow"})"), kMissing},
        {"ActionRefused", post(R"({"action":{"type":"Launch"}})"), response("400 Bad Request", R"({"message":"Unsupported action type","ok":false})")},
        {"ActionRuns", post(R"({"action":{"type":"workflow","steps":[]}})"), response("200 OK", R"({"message":"Workflow ran 0 steps","ok":true})")},
        {"OnlyTheFirstPipelinedRequest", "GET /health HTTP/1.1\r\n\r\nGET /nowhere HTTP/1.1\r\n\r\n", kOk},
        {"HalfRequestThenShutdownUnanswered", "GET /health HTTP/1.1\r\n", "", true},
        // Pins a lost answer: a peer that half-closes after a whole request still gets the answer,
        // even when the route first hops to the main thread.
        {"RequestThenShutdownAnswered", "GET /status HTTP/1.1\r\n\r\n", kStatusAnswer, true},
        // Bytes still arriving after the request must not reset the connection over the answer.
        {"InputAfterTheRequestKeepsTheAnswer", "GET /health HTTP/1.1\r\n\r\n" + QByteArray(300'000, 'x'), kOk, true},
        // Guards against DNS rebinding and foreign pages.
        {"HostLoopbackWithPort", withHeader("/status", "Host: 127.0.0.1:17345"), kStatusAnswer},
        {"HostLocalhostAnyCase", withHeader("/status", "Host: LocalHost"), kStatusAnswer},
        {"HostIpv6Loopback", withHeader("/status", "Host: [::1]:80"), kStatusAnswer},
        {"HostLoopbackPrefix", withHeader("/health", "Host: 127.0.0.1.evil.example"), kForbidden},
        {"HostSecondForeign", withHeader("/health", "Host: localhost\r\nHost: evil.example"), kForbidden},
        {"HostForeignOptions", "OPTIONS /x HTTP/1.1\r\nHost: evil.example\r\n\r\n", kForbidden},
        {"OriginForeignOnStatus", withHeader("/status", "Origin: https://evil.example"), kForbidden},
        {"OriginNull", withHeader("/status", "Origin: null"), kForbidden},
        {"OriginCloudOtherPort", withHeader("/status", "Origin: https://cloud.example:444"), kForbidden},
        // The port matches the paired https address, so only the scheme tells them apart.
        {"OriginCloudOtherScheme", withHeader("/status", "Origin: http://cloud.example:443"), kForbidden},
        {"OriginForeignOnHealth", withHeader("/health", "Origin: https://evil.example"), kOk},
        {"OriginForeignPreflight", "OPTIONS /action HTTP/1.1\r\nOrigin: https://evil.example\r\n\r\n", kOk},
        {"OriginLoopback", withHeader("/status", "Origin: http://localhost:3000"), kStatusAnswer},
        {"OriginPairedCloud", withHeader("/status", "Origin: https://cloud.example"), kStatusAnswer},
        {"OriginDefaultConsole", withHeader("/status", "Origin: " + defaultConsoleUrl().toUtf8()), kStatusAnswer},
        // The request buffer holds one million bytes, no more.
        {"RequestOfAMillionBytes", sized(1'000'000), kNotFound},
        {"RequestOneByteLonger", sized(1'000'001), ""},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(exchange(c.request, c.halfClose), c.expected);
        expectAllClosed();
    }
}

// Pins every local account reading and driving the desktop: a peer of another user is refused
// before any route runs however its owner is learned, and one whose owner cannot be learned too.
TEST_F(ServerFixture, ServesOnlyItsOwnUser) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "passing as another user needs root";
    collectRefusals("Refused a request");
    const QTemporaryDir empty;
    const QStringList nobody{QStringLiteral("Refused a request from another user — uid 65534")};
    const QStringList unknown{u"Refused a request whose sender is unknown — socket diagnostics "
                              "not used; %1/tcp: No such file or directory"_s.arg(empty.path())};
    // clang-format off
    const struct { const char* name; bool socketDiagnostics; QString procNet; std::string ownerAnswer; QStringList logged; } sources[] = {
        {"SocketDiagnostics", true, QStringLiteral("/proc/net"), kOk, nobody},
        {"ProcNetFallback", false, QStringLiteral("/proc/net"), kOk, nobody},
        {"NoSourceFailsClosed", false, empty.path(), kOwnerOnly, unknown}};
    // clang-format on
    for (const auto& source : sources) {
        SCOPED_TRACE(source.name);
        ServerLimits limits;
        limits.socketDiagnostics = source.socketDiagnostics;
        limits.procNet = source.procNet;
        startServer(limits);
        refusals.clear();
        // Refused at accept, before a byte is read: every route alike.
        EXPECT_EQ(exchange(post(R"({"action":{"type":"workflow"}})"), false, true), kOwnerOnly);
        EXPECT_EQ(exchange("GET /health HTTP/1.1\r\n\r\n"), source.ownerAnswer);
        EXPECT_EQ(refusals, source.logged);
        expectAllClosed();
    }
}

// The catalogue takes its folders from the environment once per process, on first use, and no
// other test here asks for it: this test's private home is the one it reads (CTest runs each test
// in a process of its own; a repeated run in one process sees the first home).
TEST_F(ServerFixture, ApplicationListAndIcon) {
    const QString entry =
        env.dataHome() + QStringLiteral("/applications/org.example.Round.desktop");
    ASSERT_TRUE(writeTestFile(entry, "[Desktop Entry]\nType=Application\nName=Round\nExec=true\n"));
    const auto body = [&](const char* target) {
        const std::string answer = exchange("GET " + QByteArray(target) + " HTTP/1.1\r\n\r\n");
        EXPECT_TRUE(answer.starts_with("HTTP/1.1 200 OK\r\n")) << answer.substr(0, 40);
        return QJsonDocument::fromJson(
                   QByteArray::fromStdString(answer.substr(answer.find("\r\n\r\n") + 4)))
            .object();
    };
    const QJsonObject list = body("/apps");
    EXPECT_FALSE(list.value(QStringLiteral("generatedAt")).toString().isEmpty());
    EXPECT_EQ(list.value(u"apps"_s),
              QJsonArray({QJsonObject{{u"name"_s, u"Round"_s},
                                      {u"bundleId"_s, u"org.example.Round"_s},
                                      {u"path"_s, entry}}}));
    QJsonObject icon = body("/app-icon?name=%20roun&x=1");
    EXPECT_TRUE(icon.take(u"dataUrl"_s).toString().startsWith(u"data:image/png;base64,"_s));
    EXPECT_EQ(icon, (QJsonObject{
                        {u"name"_s, u"org.example.Round"_s}, {u"ok"_s, true}, {u"path"_s, entry}}));
    EXPECT_EQ(exchange("GET /app-icon?bundleId=nothing HTTP/1.1\r\n\r\n"),
              response("404 Not Found", R"({"message":"App not found","ok":false})"));
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
    EXPECT_EQ(silent.read(), "");
    EXPECT_EQ(partial.read(), "");
    {
        // Pins unbounded event streams: one past the cap is refused in the usual framing.
        Client first(server->port()), second(server->port());
        first.send(kEvents);
        ASSERT_TRUE(waitUntil([&] { return server->eventStreamCount() == 1; }));
        second.send(kEvents);
        EXPECT_EQ(second.read(), response("503 Service Unavailable",
                                          R"({"message":"Too many event streams","ok":false})"));
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
// Not in the fixture: the child is forked while this process runs no other thread, so it cannot
// inherit a lock some thread held at the fork (under load a server thread did, and the child hung).
TEST(ServerLimits, OutOfDescriptorsKeepsAnswering) {
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
    EXPECT_EQ(health.read(), kOk);
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
}

// Each broadcast is one frame of compact JSON, without the texts that are absent or empty. Pins
// unbounded memory too: a stream client that never reads is dropped once 1 MiB waits unsent,
// while a reading client keeps its stream.
TEST_F(ServerFixture, EventStreamsGetOneFramePerBroadcastAndStalledOnesAreDropped) {
    auto reader = std::make_unique<Client>(server->port());
    Client stalled(server->port(), 4096);
    reader->send(kEvents);
    stalled.send(kEvents);
    const QByteArray opening = kStreamHeader + "data: " + kStatus + "\n\n";
    EXPECT_EQ(reader->read(opening.size()), opening.toStdString());
    ASSERT_TRUE(waitUntil([&] { return server->eventStreamCount() == 2; }));
    const QByteArray bigFrame = LocalServer::eventFrame(context(QString(60'000, u't')));
    for (int i = 0; i < 1000 && server->eventStreamCount() == 2; ++i) {
        server->broadcast(context(QString(60'000, u't')));
        ASSERT_EQ(reader->read(bigFrame.size()), bigFrame.toStdString());
    }
    EXPECT_EQ(server->eventStreamCount(), 1);
    const QByteArray mail = R"({"activeApp":"Mail","at":"2024-05-01T10:00:00.000Z",)";
    const std::pair<AgentContext, QByteArray> frames[] = {
        {context(QStringLiteral("line\nbreak")),
         mail + R"("bundleId":"org.mail","windowTitle":"line\nbreak"})"},
        {context(QString(), QStringLiteral("https://a.example/")),
         mail + R"("browserUrl":"https://a.example/","bundleId":"org.mail"})"},
    };
    for (const auto& [sent, frame] : frames) {
        server->broadcast(sent);
        EXPECT_EQ(reader->read(frame.size() + 8), ("data: " + frame + "\n\n").toStdString());
    }
    EXPECT_TRUE(reader->quiet());
    reader.reset();
    EXPECT_TRUE(waitUntil([&] { return server->eventStreamCount() == 0; }));
    server->broadcast(core.lastContext);
    expectAllClosed();
}

// Pins another account stalling the owner before the owner check: a foreign connection is
// refused at accept, so it is never read, holds no slot and evicts none of the owner's idle
// connections; the owner's own send-then-close (once seen as "uid 0") is served.
TEST_F(ServerFixture, ForeignConnectionsAreRefusedAtAccept) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "passing as another user needs root";
    collectRefusals("Refused");
    ServerLimits limits;
    limits.maxConnections = 8;
    startServer(limits);
    const QByteArray hugeHead = "POST /action HTTP/1.1\r\nX: " + QByteArray(900'000, 'h');
    // clang-format off
    const struct { const char* name; QByteArray foreignSends; int connections; } floods[] = {
        {"SlowBodyFlood", hugeHead, 64}, {"ConnectFlood", {}, 400}};
    // clang-format on
    for (const auto& flood : floods) {
        SCOPED_TRACE(flood.name);
        std::vector<std::unique_ptr<Client>> idle, foreign;
        for (int i = 0; i < 4; ++i)
            idle.push_back(clientAs(::geteuid(), server->port()));
        ASSERT_TRUE(waitUntil([&] { return server->connectionCount() == 4; }));
        int answered = 0;
        for (int i = 0; i < flood.connections; ++i) {
            foreign.push_back(clientAs(65534, server->port()));
            ::send(foreign.back()->fd(), flood.foreignSends.constData(),
                   size_t(flood.foreignSends.size()), MSG_NOSIGNAL);
            if (i % 16 == 0)
                answered += exchange("GET /health HTTP/1.1\r\n\r\n") == kOk;
        }
        EXPECT_EQ(answered, (flood.connections + 15) / 16);
        EXPECT_TRUE(waitUntil([&] { return server->connectionCount() == 4; }));
        for (const auto& client : idle)
            EXPECT_TRUE(client->quiet()) << "an idle connection of the owner was evicted";
    }
    auto closing = clientAs(::geteuid(), server->port());
    ASSERT_TRUE(waitUntil([&] { return server->connectionCount() == 1; }));
    closing->send(post(R"({"action":{"type":"workflow","steps":[]}})"));
    closing.reset();
    EXPECT_TRUE(waitUntil([&] { return server->connectionCount() == 0; }));
    EXPECT_EQ(refusals, QStringList{u"Refused a request from another user — uid 65534"_s});
}

// Pins a closed client read as "uid 0" (refusing the owner, or serving anyone when the agent
// is root): a peer counts while a process holds it, connected or done sending, from either
// source; once closed it has no owner.
TEST(PeerOwner, OnlyAPeerStillHeldHasAnOwner) {
    const int listener = localserver::listenOnLoopback(AF_INET, 0);
    const quint16 port = localserver::boundPort(listener);
    // clang-format off
    const struct { const char* name; bool closes, halfCloses; std::optional<uid_t> owner; } cases[] = {
        {"Connected", false, false, ::geteuid()}, {"DoneSending", false, true, ::geteuid()},
        {"Closed", true, false, std::nullopt}};
    // clang-format on
    for (const bool socketDiagnostics : {true, false}) {
        PeerOwner owners(socketDiagnostics);
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (socketDiagnostics ? " diag" : " proc"));
            auto client = std::make_unique<Client>(port);
            const int accepted = ::accept(listener, nullptr, nullptr); // connected: it waits
            ASSERT_GE(accepted, 0);
            if (c.halfCloses)
                ::shutdown(client->fd(), SHUT_WR);
            if (c.closes)
                client.reset();
            std::string problem;
            EXPECT_TRUE(waitUntil([&] { return owners.ownerOf(accepted, &problem) == c.owner; }))
                << problem;
            ::close(accepted);
        }
    }
    ::close(listener);
}

// Pins a port squatted before the agent starts, and one on [::1] while it runs: the agent says
// who holds the port, takes it as soon as it is free, and holds [::1] too.
TEST(LocalServerPort, BusyPortIsRetriedAndBothLoopbacksAreHeld) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "passing as another user needs root";
    ::setfsuid(65534);
    const int squatter = localserver::listenOnLoopback(AF_INET, 0);
    ::setfsuid(::geteuid());
    const quint16 port = localserver::boundPort(squatter);
    ServerLimits limits;
    limits.portService.clear();
    LocalServer server(nullptr, port, limits, [](const HttpRequest&, const LocalConnection& c) {
        c.send(QStringLiteral("200 OK"), kAck);
    });
    server.start();
    const QString busy =
        u"Local API unavailable — port %1 is in use by another program (uid 65534)"_s.arg(port);
    EXPECT_TRUE(waitUntil([&] { return server.problem() == busy; }));
    ::close(squatter);
    EXPECT_TRUE(waitUntil([&] { return !server.problem(); }, std::chrono::seconds(10)));
    for (const bool v6 : {false, true}) {
        Client client(port, 0, v6);
        client.send("GET /health HTTP/1.1\r\n\r\n");
        EXPECT_EQ(client.read(), kOk) << (v6 ? "[::1]" : "127.0.0.1");
    }
    EXPECT_EQ(localserver::listenOnLoopback(AF_INET6, port), -1);
    EXPECT_EQ(errno, EADDRINUSE);
}

// An agent of `uid` in a child process, registered with the port service at `path`, whose routes
// answer with its uid. Forked while this process runs no other thread.
pid_t agentAs(uid_t uid, const QString& path) {
    const pid_t child = ::fork();
    if (child != 0)
        return child;
    if (::setgroups(0, nullptr) != 0 || ::setresgid(uid, uid, uid) != 0 ||
        ::setresuid(uid, uid, uid) != 0)
        ::_exit(1);
    ServerLimits limits;
    limits.portService = path;
    LocalServer agent(nullptr, 17345, limits, [uid](const HttpRequest&, const LocalConnection& c) {
        c.send(QStringLiteral("200 OK"), R"({"uid":)" + QByteArray::number(uid) + '}');
    });
    agent.start();
    for (;;)
        ::pause();
}

// A bare registration as `uid`: the service's first byte, 0 when none came within 5 s.
int registerAs(uid_t uid, const QString& path) {
    const pid_t child = ::fork();
    if (child == 0) {
        sockaddr_un address{AF_UNIX, {}};
        path.toStdString().copy(address.sun_path, sizeof address.sun_path - 1);
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        const timeval wait{5, 0};
        char first = 0;
        if (::setresgid(uid, uid, uid) == 0 && ::setresuid(uid, uid, uid) == 0 &&
            ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait) == 0 &&
            ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
            ::recv(fd, &first, 1, 0);
        ::_exit(first);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The port service as its socket unit runs it, unprivileged: each user's connections reach only
// that user's agent, anyone else gets the 503, one uid holds one slot, a restarted agent takes
// its slot again, and no connection's descriptor stays behind in the service.
TEST(PortService, HandsEachConnectionToItsOwnUsersAgent) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "agents of other users need root";
    QTemporaryDir dir;
    ::chmod(QFile::encodeName(dir.path()).constData(), 0755);
    const QString path = dir.path() + u"/agents.sock"_s;
    const int probe = localserver::listenOnLoopback(AF_INET, 0);
    const quint16 port = localserver::boundPort(probe);
    ::close(probe);
    const std::string number = std::to_string(port);
    const pid_t activator = spawnProgram(
        {"timeout", "120", "systemd-socket-activate", "-l", "127.0.0.1:" + number, "-l",
         "[::1]:" + number, "-l", path.toStdString(), "--fdname=http4:http6:agents", "setpriv",
         "--reuid=61000", "--regid=61000", "--clear-groups", VANTOR_PORT_PROGRAM});
    ASSERT_TRUE(waitUntil([&] { return QFileInfo::exists(path); }));
    ::chmod(QFile::encodeName(path).constData(), 0666);
    pid_t agents[] = {agentAs(65534, path), agentAs(65533, path)};
    const auto answerTo = [&](uid_t uid) {
        return exchangeAs(port, "GET /status HTTP/1.1\r\n\r\n", uid);
    };
    const auto own = [](uid_t uid) {
        return response("200 OK", R"({"uid":)" + QByteArray::number(uid) + '}');
    };
    const std::string none = response(
        "503 Service Unavailable", R"({"message":"No agent is running for this user","ok":false})");
    ASSERT_TRUE(
        waitUntil([&] { return answerTo(65534) == own(65534) && answerTo(65533) == own(65533); },
                  std::chrono::seconds(10)));
    // clang-format off
    const struct { const char* name; uid_t client; std::string expected; } rows[] = {
        {"FirstUser", 65534, own(65534)},
        {"SecondUser", 65533, own(65533)},
        {"UserWithoutAgent", 65532, none},
        // Not root itself, the service takes uid 0 for what a closed peer reports: no one.
        {"RootIsNoOne", 0, none},
    };
    // clang-format on
    for (const auto& row : rows)
        EXPECT_EQ(answerTo(row.client), row.expected) << row.name;
    // The slot's uid is the kernel's word for the registering process, nothing it says.
    EXPECT_EQ(registerAs(65534, path), 'T');
    EXPECT_EQ(registerAs(65532, path), 'R');
    ::kill(agents[0], SIGKILL);
    ::waitpid(agents[0], nullptr, 0);
    agents[0] = agentAs(65534, path);
    EXPECT_TRUE(waitUntil([&] { return answerTo(65534) == own(65534); }));

    std::ifstream children("/proc/" + std::to_string(activator) + "/task/" +
                           std::to_string(activator) + "/children");
    std::string service;
    children >> service;
    const auto descriptors = [&] {
        return QDir(QString::fromStdString("/proc/" + service + "/fd"))
            .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System)
            .size();
    };
    const qsizetype held = descriptors();
    EXPECT_GT(held, 0);
    for (int i = 0; i < 5000; ++i)
        clientAs(i % 2 ? 65532 : 65534, port);
    EXPECT_TRUE(waitUntil([&] { return descriptors() == held; }));
    for (const pid_t agent : agents) {
        ::kill(agent, SIGKILL);
        ::waitpid(agent, nullptr, 0);
    }
    stopProgram(activator);
}

} // namespace
