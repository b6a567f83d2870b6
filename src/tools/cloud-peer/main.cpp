#include "CloudPeer.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QJsonDocument>
#include <cstdio>

namespace {

// The try-it console: one page and its two files, built into the program.
void addConsoleRoutes(CloudPeer& peer) {
    const struct {
        const char* route;
        const char* resource;
        const char* contentType;
    } files[] = {
        {"/", ":/console/index.html", "text/html; charset=utf-8"},
        {"/console.js", ":/console/console.js", "text/javascript; charset=utf-8"},
        {"/console.css", ":/console/console.css", "text/css; charset=utf-8"},
    };
    for (const auto& file : files) {
        QFile resource(QString::fromLatin1(file.resource));
        if (!resource.open(QIODevice::ReadOnly))
            continue;
        const PeerAnswer answer{200, resource.readAll(), file.contentType};
        peer.addRoute(
            QStringLiteral("GET"), QString::fromLatin1(file.route),
            [answer](const PeerRequest&, const QStringList&) { return answer; }, false);
    }
}

} // namespace

// vantor-cloud-peer: a cloud service to pair the agent with on this computer. Prints the
// address it listens on, then one line per request it answers.
int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vantor-cloud-peer"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Reference cloud peer for Vantor Companion, on 127.0.0.1. Admin routes: GET/DELETE "
        "/admin/requests, GET /admin/state, POST /admin/actions, POST/DELETE /admin/answer."));
    parser.addHelpOption();
    const QCommandLineOption port(QStringLiteral("port"), QStringLiteral("Port (0: any free)."),
                                  QStringLiteral("port"), QStringLiteral("0"));
    const QCommandLineOption code(QStringLiteral("code"), QStringLiteral("The pairing code."),
                                  QStringLiteral("code"), QStringLiteral("DEMO42"));
    const QCommandLineOption secret(QStringLiteral("secret"), QStringLiteral("The pairing secret."),
                                    QStringLiteral("secret"), QStringLiteral("demo-secret"));
    const QCommandLineOption action(QStringLiteral("action"),
                                    QStringLiteral("An action object to queue (repeatable)."),
                                    QStringLiteral("json"));
    const QCommandLineOption filler(
        QStringLiteral("filler-bytes"),
        QStringLiteral("Answer every pairing request 200 with this many bytes, no length given."),
        QStringLiteral("count"));
    parser.addOptions({port, code, secret, action, filler});
    parser.process(app);

    CloudPeer peer(parser.value(code), parser.value(secret));
    addConsoleRoutes(peer);
    for (const QString& text : parser.values(action)) {
        const QJsonDocument document = QJsonDocument::fromJson(text.toUtf8());
        if (!document.isObject()) {
            std::fprintf(stderr, "vantor-cloud-peer: --action takes a JSON object\n");
            return 2;
        }
        peer.queueAction(document.object());
    }
    if (parser.isSet(filler))
        peer.setMisbehaviour(
            PeerMisbehaviour{200, {}, {}, false, -1, parser.value(filler).toLongLong()});
    bool portOk = false;
    const uint number = parser.value(port).toUInt(&portOk);
    if (!portOk || number > 65535 || !peer.listen(static_cast<quint16>(number))) {
        std::fprintf(stderr, "vantor-cloud-peer: cannot listen on 127.0.0.1:%s\n",
                     qPrintable(parser.value(port)));
        return 1;
    }
    peer.onRequest = [](const PeerRequest& request, int status) {
        std::printf("%s %s %d\n", qPrintable(request.method), qPrintable(request.path), status);
        std::fflush(stdout);
    };
    std::printf("listening on %s (pairing code %s); try-it console at %s/\n",
                qPrintable(peer.baseUrl()), qPrintable(parser.value(code)),
                qPrintable(peer.baseUrl()));
    std::fflush(stdout);
    return QCoreApplication::exec();
}
