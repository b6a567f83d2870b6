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
#include <QUrl>

namespace {

constexpr std::chrono::seconds kHeartbeatInterval{5};
const QString kPairingExpired = QStringLiteral("Pairing expired — pair again");

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
    // The core never aborts a request itself: a cancelled one is the transfer time-out.
    if (reply.error() == QNetworkReply::OperationCanceledError ||
        reply.error() == QNetworkReply::TimeoutError)
        return QStringLiteral("The request timed out");
    return reply.errorString();
}

std::exception_ptr replyError(QNetworkReply& reply, QByteArray& body) {
    const QVariant status = reply.attribute(QNetworkRequest::HttpStatusCodeAttribute);
    // A redirection that names no new place is a final answer below 400; Qt would follow it to
    // an empty address and fail.
    const bool unplacedRedirect = status.toInt() / 100 == 3 && !reply.hasRawHeader("location");
    if (reply.error() == QNetworkReply::NoError || unplacedRedirect) {
        body = reply.readAll();
        return nullptr;
    }
    if (!status.isValid() || status.toInt() < 400 || !isStatusError(reply.error()))
        return std::make_exception_ptr(SystemError(transportErrorText(reply)));
    // The service's own words, whole and untrimmed (an empty body gives the empty text).
    const QByteArray text = reply.readAll();
    return std::make_exception_ptr(
        AgentError::invalid(isValidUtf8(text) ? QString::fromUtf8(text)
                                              : QStringLiteral("HTTP %1").arg(status.toInt())));
}

QString pairingPath(const Pairing& pairing, const char* leaf) {
    return QStringLiteral("/api/pairing/") + pairing.code + QLatin1Char('/') + QLatin1String(leaf);
}

} // namespace

void AgentCore::cloudRequest(const QString& path, const QString& method,
                             const std::optional<QByteArray>& body, CloudCompletion completion) {
    if (!pairing)
        return;
    // The code is part of the path text as it is; an address that does not parse sends nothing.
    const QUrl url(pairing->cloudUrl + path, QUrl::StrictMode);
    if (!url.isValid())
        return;

    if (!m_network) {
        m_network = new QNetworkAccessManager(this);
        // Qt's default redirect policy (NoLessSafeRedirectPolicy) follows redirects except from
        // https to http, which fails as a transport error.
        m_network->setRedirectPolicy(QNetworkRequest::NoLessSafeRedirectPolicy);
    }
    QNetworkRequest request(url);
    request.setTransferTimeout(static_cast<int>(m_services.cloudTimeout.count()));
    request.setRawHeader("content-type", "application/json");
    request.setRawHeader("x-vantor-secret", pairing->secret.toUtf8());

    // Without a body the request carries no content-length either, as a plain GET.
    QNetworkReply* reply = body ? m_network->sendCustomRequest(request, method.toLatin1(), *body)
                                : m_network->sendCustomRequest(request, method.toLatin1());
    // The core is the context: destroying it drops the connection, and with it the completion.
    QObject::connect(reply, &QNetworkReply::finished, this,
                     [reply, completion = std::move(completion)] {
                         reply->deleteLater();
                         QByteArray answer;
                         const std::exception_ptr error = replyError(*reply, answer);
                         if (!completion)
                             return;
                         if (error)
                             completion(std::nullopt, error);
                         else
                             completion(answer, nullptr);
                     });
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
    bool serviceAnswer = false;
    try {
        std::rethrow_exception(error);
    } catch (const AgentError& answer) {
        description = answer.message();
        serviceAnswer = true;
    } catch (const std::exception& failure) {
        description = errorDescription(failure);
    }

    // Only the service itself can say that it no longer knows the pairing; a transport failure
    // whose text happens to read "not found" (an unknown host) keeps it.
    if (serviceAnswer && description.contains(QLatin1String("not found"))) {
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
    if (!pairing)
        return;
    cloudRequest(pairingPath(*pairing, "actions"), QStringLiteral("GET"), std::nullopt,
                 [this](std::optional<QByteArray> body, std::exception_ptr error) {
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
                             logEvent(QStringLiteral("Cloud action failed: ") +
                                      errorDescription(failure));
                         }
                     }
                 });
}
