#include "AgentCore.h"
#include "AgentError.h"
#include "ComputerName.h"
#include "Log.h"
#include "Text.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>

namespace {

constexpr std::chrono::seconds kHeartbeatInterval{5};
// A queue of actions is a few kilobytes; a larger answer is a misbehaving or hostile service.
constexpr qint64 kMaxAnswerBytes = 1 << 20;
const QString kTooLarge = QStringLiteral("The answer is larger than 1 MiB");
// How far Qt's network thread may read ahead of the core: without a bound it reads an endless
// answer into memory as fast as the peer sends, long before the main thread can refuse it.
constexpr qint64 kReadAheadBytes = 64 * 1024;
const QString kPairingExpired = QStringLiteral("Pairing expired — pair again");
const QString kTimedOut = QStringLiteral("The request timed out");
// Why the core aborted a request itself, when it did (a reply property).
constexpr char kRefusal[] = "vantorRefusal";

// Qt reports an HTTP error status through the same error code as a failed exchange; only these
// codes stand for "the service answered with this status". Anything else (refused, time-out,
// TLS, an answer cut short, a redirect refused) is a transport failure.
bool isStatusError(QNetworkReply::NetworkError code) {
    switch (code) {
    case QNetworkReply::ContentAccessDenied:
    case QNetworkReply::ContentOperationNotPermittedError:
    case QNetworkReply::ContentNotFoundError:
    case QNetworkReply::AuthenticationRequiredError:
    case QNetworkReply::ContentConflictError:
    case QNetworkReply::ContentGoneError:
    case QNetworkReply::UnknownContentError:
    case QNetworkReply::ProtocolInvalidOperationError:
    case QNetworkReply::InternalServerError:
    case QNetworkReply::OperationNotImplementedError:
    case QNetworkReply::ServiceUnavailableError:
    case QNetworkReply::UnknownServerError:
        return true;
    default:
        return false;
    }
}

QString transportErrorText(const QNetworkReply& reply) {
    const QString refusal = reply.property(kRefusal).toString();
    if (!refusal.isEmpty())
        return refusal;
    // Otherwise a cancelled request is the transfer time-out.
    if (reply.error() == QNetworkReply::OperationCanceledError ||
        reply.error() == QNetworkReply::TimeoutError)
        return kTimedOut;
    return reply.errorString();
}

// Also when the reply has just finished and its completion is still to come: an answer that
// arrived whole in one read is refused all the same.
void refuse(QNetworkReply* reply, const QString& why) {
    if (reply->property(kRefusal).isValid())
        return;
    reply->setProperty(kRefusal, why);
    if (!reply->isFinished())
        reply->abort();
}

bool sameOrigin(const QUrl& a, const QUrl& b) {
    const auto port = [](const QUrl& url) {
        return url.port(
            url.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0 ? 443 : 80);
    };
    return a.scheme().compare(b.scheme(), Qt::CaseInsensitive) == 0 &&
           a.host().compare(b.host(), Qt::CaseInsensitive) == 0 && port(a) == port(b);
}

// `body` holds what has been read so far; it gets the rest, and on success is the answer.
std::exception_ptr replyError(QNetworkReply& reply, QByteArray& body) {
    const QVariant status = reply.attribute(QNetworkRequest::HttpStatusCodeAttribute);
    // A redirection that names no new place is a final answer below 400; Qt would follow it to
    // an empty address and fail.
    const bool unplacedRedirect = status.toInt() / 100 == 3 && !reply.hasRawHeader("location");
    if (reply.property(kRefusal).isValid())
        return std::make_exception_ptr(SystemError(transportErrorText(reply)));
    if (reply.isOpen()) // an aborted reply has nothing more to give
        body += reply.readAll();
    if (reply.error() == QNetworkReply::NoError || unplacedRedirect)
        return nullptr;
    if (!status.isValid() || status.toInt() < 400 || !isStatusError(reply.error()))
        return std::make_exception_ptr(SystemError(transportErrorText(reply)));
    // The service's own words, whole and untrimmed (an empty body gives the empty text).
    return std::make_exception_ptr(AgentError::serviceAnswer(
        status.toInt(), isValidUtf8(body) ? QString::fromUtf8(body)
                                          : QStringLiteral("HTTP %1").arg(status.toInt())));
}

QString pairingPath(const Pairing& pairing, const char* leaf) {
    // One path segment whatever the code holds: letters, digits, "-" and "_" stay as they are,
    // so a real code gives the same bytes as ever.
    return QStringLiteral("/api/pairing/") +
           QString::fromLatin1(QUrl::toPercentEncoding(pairing.code, {}, ".~")) + QLatin1Char('/') +
           QLatin1String(leaf);
}

} // namespace

bool AgentCore::cloudRequest(const QString& path, const QString& method,
                             const std::optional<QByteArray>& body, CloudCompletion completion) {
    if (!pairing)
        return false;
    // An address that does not parse sends nothing.
    const QUrl url(pairing->cloudUrl + path, QUrl::StrictMode);
    if (!url.isValid())
        return false;

    if (!m_network) {
        m_network = new QNetworkAccessManager(this);
        // Every redirect is checked below: the secret travels with it.
        m_network->setRedirectPolicy(QNetworkRequest::UserVerifiedRedirectPolicy);
    }
    QNetworkRequest request(url);
    request.setTransferTimeout(static_cast<int>(m_services.cloudTimeout.count()));
    request.setRawHeader("content-type", "application/json");
    request.setRawHeader("x-vantor-secret", pairing->secret.toUtf8());

    // Without a body the request carries no content-length either, as a plain GET.
    QNetworkReply* reply = body ? m_network->sendCustomRequest(request, method.toLatin1(), *body)
                                : m_network->sendCustomRequest(request, method.toLatin1());
    QObject::connect(reply, &QNetworkReply::redirected, reply, [reply, url](const QUrl& target) {
        if (sameOrigin(url.resolved(target), url))
            Q_EMIT reply->redirectAllowed();
        else
            refuse(reply, QStringLiteral("Redirect to another origin refused"));
    });
    // The answer is taken as it arrives, so memory holds at most the cap and the read-ahead.
    reply->setReadBufferSize(kReadAheadBytes);
    auto received = std::make_shared<QByteArray>();
    QObject::connect(reply, &QNetworkReply::metaDataChanged, reply, [reply] {
        if (reply->header(QNetworkRequest::ContentLengthHeader).toLongLong() > kMaxAnswerBytes)
            refuse(reply, kTooLarge);
    });
    QObject::connect(reply, &QNetworkReply::readyRead, reply, [reply, received] {
        received->append(reply->readAll());
        if (received->size() > kMaxAnswerBytes)
            refuse(reply, kTooLarge);
    });
    // The transfer time-out only measures silence; an answer dripped byte by byte must end too.
    auto* deadline = new QTimer(reply);
    deadline->setSingleShot(true);
    QObject::connect(deadline, &QTimer::timeout, reply, [reply] { refuse(reply, kTimedOut); });
    deadline->start(m_services.cloudDeadline);
    // The core is the context: destroying it drops the connection, and with it the completion.
    QObject::connect(reply, &QNetworkReply::finished, this,
                     [reply, received, completion = std::move(completion)] {
                         reply->deleteLater();
                         QByteArray& answer = *received;
                         const std::exception_ptr error = replyError(*reply, answer);
                         if (!completion)
                             return;
                         if (error)
                             completion(std::nullopt, error);
                         else
                             completion(answer, nullptr);
                     });
    return true;
}

void AgentCore::syncCloudContext(const AgentContext& context, bool force) {
    if (!pairing)
        return;
    const Clock::time_point now = m_services.now();
    if (!force && lastCloudSyncAt && now - *lastCloudSyncAt < kHeartbeatInterval)
        return;
    lastCloudSyncAt = now;

    QJsonObject object = context.jsonObject();
    object.insert(QStringLiteral("companionName"), computerName());
    // A map of texts always encodes, so the "{}" fallback is never needed.
    const QByteArray body = QJsonDocument(object).toJson(QJsonDocument::Compact);
    cloudRequest(
        pairingPath(*pairing, "context"), QStringLiteral("POST"), body,
        [this](std::optional<QByteArray>, std::exception_ptr error) { recordCloudResult(error); });
}

void AgentCore::recordCloudResult(std::exception_ptr error) {
    const std::optional<QString> old = lastCloudError;
    if (!error) {
        lastCloudError.reset();
        if (old && onPairingChange)
            onPairingChange();
        return;
    }

    QString description;
    int serviceStatus = 0;
    try {
        std::rethrow_exception(error);
    } catch (const AgentError& answer) {
        description = answer.message();
        serviceStatus = answer.status();
    } catch (const std::exception& failure) {
        description = errorDescription(failure);
    }

    // Only the service itself can say that it no longer knows the pairing, and it says so with a
    // 404: a transport failure whose text reads "not found" (an unknown host), or a proxy's 503
    // page naming an upstream "not found", is passing trouble and keeps it.
    if (serviceStatus == 404 && description.contains(QLatin1String("not found"))) {
        pairing.reset();
        Pairing::erase();
        lastCloudError = kPairingExpired;
        if (onPairingChange)
            onPairingChange();
        return;
    }
    lastCloudError = description;
    if (old != lastCloudError && onPairingChange)
        onPairingChange();
}

void AgentCore::pollCloudActions() {
    // A slow service gets one poll at a time; the next tick after it ends polls again.
    if (!pairing || m_pollInFlight)
        return;
    m_pollInFlight = cloudRequest(
        pairingPath(*pairing, "actions"), QStringLiteral("GET"), std::nullopt,
        [this](std::optional<QByteArray> body, std::exception_ptr error) {
            m_pollInFlight = false;
            recordCloudResult(error);
            if (!body)
                return;
            // An unusable answer is dropped whole and silently: a list with one
            // entry that is not an object is not trusted for any of its entries.
            const QJsonDocument document = QJsonDocument::fromJson(*body);
            const QJsonValue actions = document.object().value(QStringLiteral("actions"));
            if (!actions.isArray())
                return;
            const QJsonArray list = actions.toArray();
            for (const QJsonValue& entry : list)
                if (!entry.isObject())
                    return;
            for (const QJsonValue& entry : list) {
                const QJsonValue action = entry.toObject().value(QStringLiteral("action"));
                if (!action.isObject())
                    continue;
                try {
                    logEvent(QStringLiteral("Cloud action: ") +
                             executeAction(action.toObject(), 0));
                } catch (const std::exception& failure) {
                    logEvent(QStringLiteral("Cloud action failed: ") + errorDescription(failure));
                }
            }
        });
}
