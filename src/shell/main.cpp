#include "AgentContext.h"
#include "AgentCore.h"
#include "AgentError.h"
#include "LocalServer.h"
#include "Log.h"

#include <QCoreApplication>

// Until the tray shell exists the agent runs headless: the core samples and polls on the event
// loop, and the loopback API serves, until the process is terminated.
int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vantor-companion"));

    AgentCore core;
    LocalServer server(&core, 17345);
    try {
        server.start();
    } catch (const SystemError& error) {
        logEvent(QStringLiteral("Local server failed to start: ") + error.description());
    }
    core.onContextChange = [&server](const AgentContext& context) { server.broadcast(context); };
    core.start();
    return QCoreApplication::exec();
}
