#include "CloudPeer.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QJsonDocument>
#include <cstdio>

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
    parser.addOptions({port, code, secret, action});
    parser.process(app);

    CloudPeer peer(parser.value(code), parser.value(secret));
    for (const QString& text : parser.values(action)) {
        const QJsonDocument document = QJsonDocument::fromJson(text.toUtf8());
        if (!document.isObject()) {
            std::fprintf(stderr, "vantor-cloud-peer: --action takes a JSON object\n");
            return 2;
        }
        peer.queueAction(document.object());
    }
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
    std::printf("listening on %s (pairing code %s)\n", qPrintable(peer.baseUrl()),
                qPrintable(parser.value(code)));
    std::fflush(stdout);
    return QCoreApplication::exec();
}
