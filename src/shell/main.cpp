#include "AgentCore.h"
#include "AppDelegate.h"
#include "BrowserReports.h"
#include "CommandLine.h"
#include "DesktopChooser.h"
#include "Log.h"
#include "PulseAudioBackend.h"
#include "SingleInstance.h"

#include <QApplication>
#include <cstdio>
#include <xcb/xcb.h>

namespace {

// QApplication aborts when the display it is given cannot be reached; the agent must run on
// without one, serving its loopback API and cloud link.
bool displayReachable() {
    if (!qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        return true;
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        return false;
    xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
    const bool ok = xcb_connection_has_error(connection) == 0;
    xcb_disconnect(connection);
    return ok;
}

} // namespace

int main(int argc, char** argv) {
    // Read once and wiped from the process's command line first of all: it may hold the pairing
    // secret, and every account can read /proc/PID/cmdline for as long as it stays there. Qt
    // sees only the program's name, so it neither keeps a copy nor takes the text for options.
    const StartRequest start = readCommandLine(argc, argv);
    switch (start.action) {
    case StartRequest::Action::Run:
        break;
    case StartRequest::Action::PrintHelp:
    case StartRequest::Action::PrintVersion:
        std::fputs(start.output.toLocal8Bit().constData(), stdout);
        return 0;
    case StartRequest::Action::Refuse:
        std::fputs(start.output.toLocal8Bit().constData(), stderr);
        return 2;
    }
    const QString& argument = start.argument;
    int qtArgc = 1;

    const bool hasDisplay = qEnvironmentVariableIsSet("QT_QPA_PLATFORM") || displayReachable();
    if (!hasDisplay)
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(qtArgc, argv);
    QApplication::setApplicationName(QStringLiteral("vantor-companion"));
    QApplication::setQuitOnLastWindowClosed(false);

    SingleInstance instance;
    if (instance.claim(argument) == SingleInstance::Role::HandedOver)
        return 0;

    CoreServices services = CoreServices::defaults();
    services.audio = std::make_shared<PulseAudioBackend>();
    DesktopSession session = openDesktopSession(SessionHints::fromEnvironment());
    logEvent(QStringLiteral("Desktop backend"), session.description);
    services.frontApplication = session.front;
    services.keys = session.keys;
    auto browserReports = std::make_shared<BrowserReports>();
    if (browserReports->listen())
        services.browserTabs = browserReports;
    AppDelegate::Options options;
    options.canAsk = QGuiApplication::platformName() != QLatin1String("offscreen") &&
                     QGuiApplication::platformName() != QLatin1String("minimal");
    AppDelegate delegate(std::move(services), options);
    if (const auto problem = session.problem) {
        delegate.desktopProblem = [problem] { return problem->text; };
        problem->onChange = [&delegate] { delegate.rebuildMenu(); };
    }
    delegate.setMenuHost(session.menu);
    instance.onArgument = [&delegate](const QString& handed) { delegate.handleArgument(handed); };
    delegate.applicationDidFinishLaunching();
    if (!argument.isEmpty())
        delegate.handleArgument(argument);
    QApplication::exec();
    return 0;
}
