#include "LocalRoutes.h"

#include "AgentCore.h"
#include "AgentError.h"
#include "AppCatalog.h"
#include "AppRoutes.h"
#include "DefaultConsoleUrl.h"
#include "HttpRequest.h"
#include "LocalServer.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThreadPool>
#include <QUrl>

namespace {

const QString kOk = QStringLiteral("200 OK");

QByteArray encoded(const QJsonObject& object) {
    // Encoding a QJsonObject cannot fail, so the "{}" stand-in is never needed.
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QByteArray acknowledgement() {
    return encoded({{QStringLiteral("ok"), true}});
}

QByteArray messageAnswer(bool ok, const QString& message) {
    return encoded({{QStringLiteral("ok"), ok}, {QStringLiteral("message"), message}});
}

QByteArray capabilities() {
    const auto texts = [](std::initializer_list<const char*> items) {
        QJsonArray array;
        for (const char* item : items)
            array.append(QString::fromUtf8(item));
        return array;
    };
    return encoded({
        {QStringLiteral("ok"), true},
        {QStringLiteral("platform"), QStringLiteral("linux")},
        {QStringLiteral("context"), texts({"frontmost-app", "bundle-id"})},
        {QStringLiteral("contextDetails"), texts({"window-title", "browser-url"})},
        {QStringLiteral("actions"), QJsonArray::fromStringList(AgentCore::allowedActionTypes())},
        {QStringLiteral("features"),
         texts({"app-list", "app-icon", "named-keys", "system-actions", "audio-devices"})},
        {QStringLiteral("limits"),
         QJsonObject{{QStringLiteral("maxWorkflowSteps"), AgentCore::maxWorkflowSteps},
                     {QStringLiteral("maxWorkflowDepth"), AgentCore::maxWorkflowDepth},
                     {QStringLiteral("urlProtocols"), texts({"http", "https"})}}},
    });
}

// Main thread: the whole action request, answered with its status and body.
std::pair<QString, QByteArray> runAction(AgentCore& core, const QByteArray& body) {
    try {
        QJsonParseError error{};
        const QJsonDocument document = QJsonDocument::fromJson(body, &error);
        const QJsonValue action = document.object().value(QStringLiteral("action"));
        if (error.error != QJsonParseError::NoError || !document.isObject() || !action.isObject())
            throw AgentError::invalid(QStringLiteral("Missing action"));
        return {kOk, messageAnswer(true, core.executeAction(action.toObject(), 0))};
    } catch (const std::exception& failure) {
        return {QStringLiteral("400 Bad Request"), messageAnswer(false, errorDescription(failure))};
    } catch (...) {
        return {QStringLiteral("400 Bad Request"),
                messageAnswer(false, QStringLiteral("Action failed"))};
    }
}

void dispatch(const HttpRequest& request, const LocalConnection& connection) {
    const QString& method = request.method;
    const QString& path = request.path;
    const bool get = method == QLatin1String("GET");

    if (method == QLatin1String("OPTIONS") || (get && path == QLatin1String("/health"))) {
        connection.send(kOk, acknowledgement());
    } else if (get && path == QLatin1String("/capabilities")) {
        connection.send(kOk, capabilities());
    } else if (get && (path == QLatin1String("/apps") || path == QLatin1String("/app-icon"))) {
        // A scan or an icon render blocks: the background pool does it, the connection hops
        // the answer back to the server thread.
        QThreadPool::globalInstance()->start([connection, icon = path == QLatin1String("/app-icon"),
                                              query = request.query] {
            const approutes::Answer answer = icon ? approutes::appIcon(AppCatalog::shared(), query)
                                                  : approutes::listApps(AppCatalog::shared());
            connection.send(answer.status, answer.body);
        });
    } else if (get && path == QLatin1String("/status")) {
        connection.onMainThread([connection](AgentCore& core) {
            connection.send(kOk, encoded(core.lastContext.jsonObject()));
        });
    } else if (get && path == QLatin1String("/events")) {
        connection.onMainThread([connection](AgentCore& core) {
            connection.openEventStream(LocalServer::eventStreamHeader() +
                                       LocalServer::eventFrame(core.lastContext));
        });
    } else if (method == QLatin1String("POST") && path == QLatin1String("/action")) {
        connection.onMainThread([connection, body = request.body](AgentCore& core) {
            const auto [status, answer] = runAction(core, body);
            connection.send(status, answer);
        });
    } else {
        connection.send(QStringLiteral("404 Not Found"),
                        messageAnswer(false, QStringLiteral("Not found")));
    }
}

void forbid(const LocalConnection& connection) {
    connection.send(QStringLiteral("403 Forbidden"),
                    messageAnswer(false, QStringLiteral("Forbidden")));
}

// Only what lets a page find the agent is open to every origin; nothing there reveals the
// user's context or acts.
bool openToEveryOrigin(const HttpRequest& request) {
    return request.method == QLatin1String("OPTIONS") ||
           (request.method == QLatin1String("GET") &&
            (request.path == QLatin1String("/health") ||
             request.path == QLatin1String("/capabilities")));
}

bool allOrigins(const HttpRequest& request, const std::function<bool(const QString&)>& allowed) {
    return std::all_of(request.origins.begin(), request.origins.end(), allowed);
}

bool isLoopbackName(const QString& host) {
    return host == QLatin1String("127.0.0.1") || host == QLatin1String("localhost") ||
           host == QLatin1String("::1");
}

// An origin as a browser sends it: http or https, a host, an optional port, nothing else.
std::optional<QUrl> parsedOrigin(const QString& text) {
    const QUrl url(text, QUrl::StrictMode);
    const QString scheme = url.scheme();
    if (!url.isValid() || (scheme != QLatin1String("http") && scheme != QLatin1String("https")) ||
        url.host().isEmpty() || !url.userInfo().isEmpty() || url.hasQuery() || url.hasFragment())
        return std::nullopt;
    return url;
}

} // namespace

bool isLoopbackHost(const QString& host) {
    const QString lower = host.toLower();
    QString name = lower;
    QString port;
    if (lower.startsWith(QLatin1Char('['))) {
        const qsizetype close = lower.indexOf(QLatin1Char(']'));
        if (close < 0)
            return false;
        name = lower.mid(1, close - 1);
        const QString rest = lower.mid(close + 1);
        if (!rest.isEmpty() && !rest.startsWith(QLatin1Char(':')))
            return false;
        port = rest.mid(1);
        if (name != QLatin1String("::1") || (!rest.isEmpty() && port.isEmpty()))
            return false;
    } else if (const qsizetype colon = lower.indexOf(QLatin1Char(':')); colon >= 0) {
        name = lower.left(colon);
        port = lower.mid(colon + 1);
        if (port.isEmpty())
            return false;
    }
    for (const QChar c : port)
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    return isLoopbackName(name);
}

bool isLoopbackOrigin(const QString& origin) {
    const auto url = parsedOrigin(origin);
    return url && url->path().isEmpty() && isLoopbackName(url->host());
}

bool isSameOrigin(const QString& origin, const QString& trusted) {
    const auto url = parsedOrigin(origin);
    const QUrl other(trusted);
    const auto defaultPort = [](const QUrl& u) {
        return u.port(u.scheme() == QLatin1String("https") ? 443 : 80);
    };
    return url && url->path().isEmpty() && other.isValid() &&
           url->scheme() == other.scheme().toLower() && url->host() == other.host() &&
           defaultPort(*url) == defaultPort(other);
}

void route(const HttpRequest& request, const LocalConnection& connection) {
    if (!std::all_of(request.hosts.begin(), request.hosts.end(), isLoopbackHost)) {
        forbid(connection);
        return;
    }
    const auto knownWithoutCore = [](const QString& origin) {
        return isLoopbackOrigin(origin) || isSameOrigin(origin, defaultConsoleUrl());
    };
    if (openToEveryOrigin(request) || allOrigins(request, knownWithoutCore)) {
        dispatch(request, connection);
        return;
    }
    // The pairing lives with the core, on the main thread.
    connection.onMainThread([request, connection, knownWithoutCore](AgentCore& core) {
        const QString cloud = core.pairing ? core.pairing->cloudUrl : QString();
        const bool allowed = allOrigins(request, [&](const QString& origin) {
            return knownWithoutCore(origin) || (!cloud.isEmpty() && isSameOrigin(origin, cloud));
        });
        connection.onServerThread([request, connection, allowed] {
            if (allowed)
                dispatch(request, connection);
            else
                forbid(connection);
        });
    });
}
