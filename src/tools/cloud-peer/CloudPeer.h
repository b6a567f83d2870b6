#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

class QTcpServer;
class QTcpSocket;

// One request as the peer received it. Header names are lower-cased, values kept as sent.
struct PeerRequest {
    QString method;
    QString path; // as sent, query included
    QList<std::pair<QByteArray, QByteArray>> headers;
    QByteArray body;
    QString at; // when it arrived, ISO 8601 UTC

    QByteArray header(const QByteArray& name) const;
    QJsonObject toJson() const;
};

struct PeerAnswer {
    int status = 200;
    QByteArray body;
    QByteArray contentType = "application/json";
};

// How the pairing routes misbehave while set: answer with this status and body, send raw bytes
// and close, accept and never answer, or answer 200 with `fillerBytes` bytes of no length given,
// written as the client takes them. `times` counts the answers left (negative: no end).
struct PeerMisbehaviour {
    int status = 500;
    QByteArray body;
    std::optional<QByteArray> raw;
    bool hang = false;
    int times = -1;
    qint64 fillerBytes = 0;
};

// A reference cloud service for development and tests, on 127.0.0.1 only. It holds one pairing
// (code and secret), serves the agent's two routes, queues actions for the next poll, and keeps
// every request it receives outside /admin. Routes are a table: add more with addRoute.
// Single-threaded: lives on the thread that runs its event loop.
class CloudPeer : public QObject {
public:
    // Path captures: each "{name}" segment of a pattern matches one path segment.
    using Handler = std::function<PeerAnswer(const PeerRequest&, const QStringList& captures)>;

    CloudPeer(QString code, QString secret, QObject* parent = nullptr);
    ~CloudPeer() override;

    // Listens on 127.0.0.1; port 0 picks a free one. Returns false when it cannot.
    bool listen(quint16 port = 0);
    quint16 port() const;
    QString baseUrl() const;

    void addRoute(const QString& method, const QString& pattern, Handler handler,
                  bool recorded = true);

    void queueAction(const QJsonObject& action);
    void setMisbehaviour(std::optional<PeerMisbehaviour> misbehaviour);

    const QList<PeerRequest>& requests() const { return m_requests; }
    QJsonArray requestsJson() const;
    void clearRequests() { m_requests.clear(); }

    // Called for every request answered; the program prints one line per request.
    std::function<void(const PeerRequest&, int status)> onRequest;

private:
    struct Route {
        QString method;
        QStringList segments;
        Handler handler;
        bool recorded;
    };

    void addProtocolRoutes();
    void addAdminRoutes();
    void readFrom(QTcpSocket* socket);
    void serve(QTcpSocket* socket, const PeerRequest& request);
    std::optional<PeerAnswer> checkPairing(const PeerRequest& request, const QString& code) const;

    QString m_code;
    QString m_secret;
    QTcpServer* m_server;
    std::vector<Route> m_routes;
    QJsonArray m_queue;
    std::optional<PeerMisbehaviour> m_misbehaviour;
    std::optional<QJsonObject> m_lastContext;
    QList<PeerRequest> m_requests;
};
