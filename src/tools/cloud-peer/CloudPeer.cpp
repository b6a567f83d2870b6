#include "CloudPeer.h"

#include <QDateTime>
#include <QHostAddress>
#include <QJsonDocument>
#include <QTcpServer>
#include <QTcpSocket>

namespace {

constexpr qsizetype kMaxHead = 64 * 1024;
constexpr qsizetype kMaxBody = 16 * 1024 * 1024;
constexpr qsizetype kMaxRecorded = 10000;
const char kBufferProperty[] = "peerBuffer";

PeerAnswer text(int status, const char* message) {
    return PeerAnswer{status, QByteArray(message), "text/plain; charset=utf-8"};
}

PeerAnswer json(const QJsonDocument& document, int status = 200) {
    return PeerAnswer{status, document.toJson(QJsonDocument::Compact)};
}

QByteArray reasonPhrase(int status) {
    switch (status) {
    case 200:
        return "OK";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 404:
        return "Not Found";
    case 413:
        return "Payload Too Large";
    case 500:
        return "Internal Server Error";
    default:
        return "Status";
    }
}

QByteArray framed(const PeerAnswer& answer) {
    QByteArray bytes = "HTTP/1.1 " + QByteArray::number(answer.status) + ' ' +
                       reasonPhrase(answer.status) + "\r\n";
    bytes += "content-type: " + answer.contentType + "\r\n";
    bytes += "content-length: " + QByteArray::number(answer.body.size()) + "\r\n";
    bytes += "connection: close\r\n\r\n";
    return bytes + answer.body;
}

QStringList segmentsOf(const QString& path) {
    return path.section(QLatin1Char('?'), 0, 0).split(QLatin1Char('/'));
}

// The head of a request, or nothing while incomplete; `failed` when it cannot be one.
std::optional<PeerRequest> parseHead(const QByteArray& head, qsizetype& contentLength,
                                     bool& failed) {
    const QList<QByteArray> lines = head.split('\n');
    const QList<QByteArray> start = lines.value(0).trimmed().split(' ');
    if (start.size() != 3 || !start[2].startsWith("HTTP/1.")) {
        failed = true;
        return std::nullopt;
    }
    PeerRequest request;
    request.method = QString::fromLatin1(start[0]);
    request.path = QString::fromUtf8(start[1]);
    contentLength = 0;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines[i].trimmed();
        const qsizetype colon = line.indexOf(':');
        if (line.isEmpty())
            continue;
        if (colon <= 0) {
            failed = true;
            return std::nullopt;
        }
        const QByteArray name = line.left(colon).trimmed().toLower();
        const QByteArray value = line.mid(colon + 1).trimmed();
        request.headers.append({name, value});
        if (name == "content-length") {
            bool ok = false;
            contentLength = value.toLongLong(&ok);
            if (!ok || contentLength < 0 || contentLength > kMaxBody) {
                failed = true;
                return std::nullopt;
            }
        }
    }
    request.at = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
    return request;
}

// Tops the socket's send buffer up each time it drains, so that an answer of any length holds
// only a few chunks in memory at a time.
void streamFiller(QTcpSocket* socket, qint64 left) {
    static constexpr qint64 kChunk = 1 << 16;
    QObject::connect(socket, &QTcpSocket::bytesWritten, socket, [socket, left]() mutable {
        for (; left > 0 && socket->bytesToWrite() < 2 * kChunk; left -= kChunk)
            socket->write(QByteArray(std::min(left, kChunk), ' '));
        if (left <= 0 && socket->state() == QAbstractSocket::ConnectedState)
            socket->disconnectFromHost();
    });
    socket->write("HTTP/1.1 200 OK\r\ncontent-type: text/plain\r\nconnection: close\r\n\r\n");
}

} // namespace

QByteArray PeerRequest::header(const QByteArray& name) const {
    for (const auto& [key, value] : headers)
        if (key == name)
            return value;
    return {};
}

QJsonObject PeerRequest::toJson() const {
    QJsonObject headerObject;
    for (const auto& [key, value] : headers)
        headerObject.insert(QString::fromLatin1(key), QString::fromUtf8(value));
    return QJsonObject{{QStringLiteral("method"), method},
                       {QStringLiteral("path"), path},
                       {QStringLiteral("headers"), headerObject},
                       {QStringLiteral("body"), QString::fromUtf8(body)},
                       {QStringLiteral("at"), at}};
}

CloudPeer::CloudPeer(QString code, QString secret, QObject* parent)
    : QObject(parent), m_code(std::move(code)), m_secret(std::move(secret)),
      m_server(new QTcpServer(this)) {
    QObject::connect(m_server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket* socket = m_server->nextPendingConnection()) {
            QObject::connect(socket, &QTcpSocket::readyRead, this,
                             [this, socket] { readFrom(socket); });
            QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        }
    });
    addProtocolRoutes();
    addAdminRoutes();
}

CloudPeer::~CloudPeer() = default;

bool CloudPeer::listen(quint16 port) {
    return m_server->listen(QHostAddress::LocalHost, port);
}

quint16 CloudPeer::port() const {
    return m_server->serverPort();
}

QString CloudPeer::baseUrl() const {
    return QStringLiteral("http://127.0.0.1:%1").arg(port());
}

void CloudPeer::addRoute(const QString& method, const QString& pattern, Handler handler,
                         bool recorded) {
    m_routes.push_back(Route{method, segmentsOf(pattern), std::move(handler), recorded});
}

void CloudPeer::queueAction(const QJsonObject& action) {
    m_queue.append(QJsonObject{{QStringLiteral("action"), action}});
}

void CloudPeer::setMisbehaviour(std::optional<PeerMisbehaviour> misbehaviour) {
    m_misbehaviour = std::move(misbehaviour);
}

QJsonArray CloudPeer::requestsJson() const {
    QJsonArray list;
    for (const PeerRequest& request : m_requests)
        list.append(request.toJson());
    return list;
}

std::optional<PeerAnswer> CloudPeer::checkPairing(const PeerRequest& request,
                                                  const QString& code) const {
    // The texts a service would give: an unknown code is a pairing it does not know.
    if (code != m_code)
        return text(404, "Pairing not found");
    if (request.header("x-vantor-secret") != m_secret.toUtf8())
        return text(401, "Invalid pairing secret");
    return std::nullopt;
}

void CloudPeer::addProtocolRoutes() {
    addRoute(QStringLiteral("POST"), QStringLiteral("/api/pairing/{code}/context"),
             [this](const PeerRequest& request, const QStringList& captures) {
                 if (auto refusal = checkPairing(request, captures.value(0)))
                     return *refusal;
                 const QJsonDocument context = QJsonDocument::fromJson(request.body);
                 if (!context.isObject())
                     return text(400, "Context must be a JSON object");
                 m_lastContext = context.object();
                 return json(QJsonDocument(QJsonObject{{QStringLiteral("ok"), true}}));
             });
    addRoute(QStringLiteral("GET"), QStringLiteral("/api/pairing/{code}/actions"),
             [this](const PeerRequest& request, const QStringList& captures) {
                 if (auto refusal = checkPairing(request, captures.value(0)))
                     return *refusal;
                 // Each queued action is listed in one answer only.
                 const QJsonArray actions = std::exchange(m_queue, QJsonArray());
                 return json(QJsonDocument(QJsonObject{{QStringLiteral("actions"), actions}}));
             });
}

void CloudPeer::addAdminRoutes() {
    addRoute(
        QStringLiteral("GET"), QStringLiteral("/admin/requests"),
        [this](const PeerRequest&, const QStringList&) {
            return json(QJsonDocument(requestsJson()));
        },
        false);
    addRoute(
        QStringLiteral("DELETE"), QStringLiteral("/admin/requests"),
        [this](const PeerRequest&, const QStringList&) {
            clearRequests();
            return json(QJsonDocument(QJsonObject{{QStringLiteral("ok"), true}}));
        },
        false);
    addRoute(
        QStringLiteral("GET"), QStringLiteral("/admin/state"),
        [this](const PeerRequest&, const QStringList&) {
            QJsonObject state{{QStringLiteral("code"), m_code},
                              {QStringLiteral("queued"), m_queue},
                              {QStringLiteral("requestCount"), m_requests.size()},
                              {QStringLiteral("misbehaving"), m_misbehaviour.has_value()}};
            if (m_lastContext)
                state.insert(QStringLiteral("lastContext"), *m_lastContext);
            return json(QJsonDocument(state));
        },
        false);
    // Body: one action object, or an array of them.
    addRoute(
        QStringLiteral("POST"), QStringLiteral("/admin/actions"),
        [this](const PeerRequest& request, const QStringList&) {
            const QJsonDocument document = QJsonDocument::fromJson(request.body);
            const QJsonArray actions =
                document.isArray() ? document.array() : QJsonArray{document.object()};
            for (const QJsonValue& action : actions) {
                if (!action.isObject() || action.toObject().isEmpty())
                    return text(400, "Send an action object or an array of them");
            }
            for (const QJsonValue& action : actions)
                queueAction(action.toObject());
            return json(QJsonDocument(QJsonObject{{QStringLiteral("queued"), m_queue.size()}}));
        },
        false);
    // Body: {"status", "body"}, {"rawBase64"}, {"hang": true} or {"fillerBytes"}, optional
    // "times".
    addRoute(
        QStringLiteral("POST"), QStringLiteral("/admin/answer"),
        [this](const PeerRequest& request, const QStringList&) {
            const QJsonObject o = QJsonDocument::fromJson(request.body).object();
            PeerMisbehaviour misbehaviour;
            misbehaviour.status = o.value(QStringLiteral("status")).toInt(500);
            misbehaviour.body = o.value(QStringLiteral("body")).toString().toUtf8();
            if (o.contains(QStringLiteral("rawBase64")))
                misbehaviour.raw = QByteArray::fromBase64(
                    o.value(QStringLiteral("rawBase64")).toString().toLatin1());
            misbehaviour.hang = o.value(QStringLiteral("hang")).toBool();
            misbehaviour.times = o.value(QStringLiteral("times")).toInt(-1);
            misbehaviour.fillerBytes = o.value(QStringLiteral("fillerBytes")).toInteger();
            setMisbehaviour(misbehaviour);
            return json(QJsonDocument(QJsonObject{{QStringLiteral("ok"), true}}));
        },
        false);
    addRoute(
        QStringLiteral("DELETE"), QStringLiteral("/admin/answer"),
        [this](const PeerRequest&, const QStringList&) {
            setMisbehaviour(std::nullopt);
            return json(QJsonDocument(QJsonObject{{QStringLiteral("ok"), true}}));
        },
        false);
}

void CloudPeer::readFrom(QTcpSocket* socket) {
    QByteArray buffer = socket->property(kBufferProperty).toByteArray() + socket->readAll();
    const qsizetype headEnd = buffer.indexOf("\r\n\r\n");
    if (headEnd < 0) {
        if (buffer.size() > kMaxHead)
            socket->abort();
        else
            socket->setProperty(kBufferProperty, buffer);
        return;
    }
    qsizetype contentLength = 0;
    bool failed = false;
    std::optional<PeerRequest> request = parseHead(buffer.left(headEnd), contentLength, failed);
    if (failed || !request) {
        socket->write(framed(text(400, "Bad request")));
        socket->disconnectFromHost();
        return;
    }
    if (buffer.size() - headEnd - 4 < contentLength) {
        socket->setProperty(kBufferProperty, buffer);
        return;
    }
    socket->setProperty(kBufferProperty, QVariant());
    QObject::disconnect(socket, &QTcpSocket::readyRead, this, nullptr);
    request->body = buffer.mid(headEnd + 4, contentLength);
    serve(socket, *request);
}

void CloudPeer::serve(QTcpSocket* socket, const PeerRequest& request) {
    const QStringList segments = segmentsOf(request.path);
    const Route* found = nullptr;
    QStringList captures;
    for (const Route& route : m_routes) {
        if (route.method != request.method || route.segments.size() != segments.size())
            continue;
        captures.clear();
        bool matches = true;
        for (qsizetype i = 0; matches && i < segments.size(); ++i) {
            if (route.segments[i].startsWith(QLatin1Char('{')))
                captures.append(segments[i]);
            else
                matches = route.segments[i] == segments[i];
        }
        if (matches) {
            found = &route;
            break;
        }
    }

    if (!found || found->recorded) {
        if (m_requests.size() >= kMaxRecorded)
            m_requests.removeFirst();
        m_requests.append(request);
    }

    PeerAnswer answer = text(404, "No such route");
    if (found && found->recorded && m_misbehaviour) {
        const PeerMisbehaviour now = *m_misbehaviour;
        if (m_misbehaviour->times > 0 && --m_misbehaviour->times == 0)
            m_misbehaviour.reset();
        if (onRequest)
            onRequest(request, now.hang ? 0 : now.status);
        if (now.hang)
            return; // the socket stays open until the client gives up
        if (now.raw) {
            socket->write(*now.raw);
            socket->disconnectFromHost();
            return;
        }
        if (now.fillerBytes > 0)
            return streamFiller(socket, now.fillerBytes);
        answer = PeerAnswer{now.status, now.body, "text/plain; charset=utf-8"};
    } else {
        if (found)
            answer = found->handler(request, captures);
        if (onRequest)
            onRequest(request, answer.status);
    }
    socket->write(framed(answer));
    socket->disconnectFromHost();
}
