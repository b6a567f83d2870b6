#include "AgentCore.h"

#include <QCoreApplication>
#include <csignal>

// Until the tray shell exists the agent runs headless: the core samples and polls on the
// event loop until the process is terminated.
int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vantor-companion"));

    AgentCore core;
    core.start();
    return QCoreApplication::exec();
}
