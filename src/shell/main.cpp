#include "AgentCore.h"
#include "X11FrontApplication.h"

#include <QCoreApplication>
#include <csignal>

// Until the tray shell exists the agent runs headless: the core samples and polls on the
// event loop until the process is terminated.
int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vantor-companion"));

    CoreServices services = CoreServices::defaults();
    services.frontApplication = std::make_shared<X11FrontApplicationSource>();
    AgentCore core(std::move(services));
    core.start();
    return QCoreApplication::exec();
}
