#include "GnomeSession.h"

#include "DesktopAgent.h"
#include "DesktopSession.h"
#include "FrontApplication.h"
#include "GnomeDesktop.h"
#include "GnomeShell.h"
#include "KeyChord.h"
#include "KeySender.h"
#include "Log.h"

#include <QDBusConnection>
#include <QDBusInterface>
#include <QDBusMessage>
#include <QDBusReply>
#include <QFile>
#include <gtest/gtest.h>

namespace {

using namespace Qt::StringLiterals;
const QString kShell = u"com.keyloft.VantorCompanion.Shell"_s;

// One Shell for the whole story: it takes seconds to start.
TEST(GnomeSession, FollowsFocusAndTitlesPressesKeysForTheAgentAloneAndSurvivesTheExtensionGoing) {
    GnomeDesktop desktop;
    // The agent is this program: the extension answers it.
    ASSERT_TRUE(desktop.ready());
    ASSERT_TRUE(writeTestFile(
        qEnvironmentVariable("HOME") + QStringLiteral("/.local/share/applications/"
                                                      "org.example.VantorWitness.desktop"),
        "[Desktop Entry]\nType=Application\nName=Vantor Witness\nExec=true\n"));
    // This Shell's release is one the extension lists: the Shell runs it (state 1).
    const QDBusReply<QVariantMap> info =
        QDBusInterface(u"org.gnome.Shell"_s, u"/org/gnome/Shell"_s, u"org.gnome.Shell.Extensions"_s)
            .call(u"GetExtensionInfo"_s, QString::fromLatin1(gnome::kExtensionUuid));
    EXPECT_EQ(info.value().value(u"state"_s), 1.0);
    DesktopSession session = gnome::open();
    ASSERT_TRUE(session.problem);
    DesktopAgent agent(session.front, session.keys);

    WaylandWindow witness(desktop, "org.example.VantorWitness", "Témoin ✓");
    ASSERT_TRUE(agent.shows("Vantor Witness", nullptr, nullptr, std::chrono::seconds(10)));
    EXPECT_EQ(agent.core.lastContext.bundleId, QStringLiteral("org.example.VantorWitness"));
    EXPECT_EQ(agent.core.lastContext.windowTitle, QStringLiteral("Témoin ✓"));
    EXPECT_GT(session.front->frontApplication()->pid, 0);

    // A title change of the focused window, then focus to another window and back.
    witness.retitle("Nouveau titre ✓");
    EXPECT_TRUE(agent.shows(nullptr, nullptr, "Nouveau titre ✓"));
    WaylandWindow other(desktop, "org.example.Other", "Other");
    EXPECT_TRUE(agent.shows(nullptr, nullptr, "Other"));
    const auto activateWitness = [] {
        return runProgram({"gdbus", "call", "--session", "-d",
                           "com.keyloft.VantorCompanion.TestHelper", "-o",
                           "/com/keyloft/VantorCompanion/TestHelper", "-m",
                           "com.keyloft.VantorCompanion.TestHelper.Activate",
                           "org.example.VantorWitness"}) == 0;
    };
    EXPECT_TRUE(activateWitness());
    EXPECT_TRUE(agent.shows("Vantor Witness"));
    ASSERT_FALSE(agent.seen.empty());
    EXPECT_EQ(agent.seen.back(), agent.core.lastContext);

    // ctrl+shift+k and a letter reach the focused window; a keysym no key of the layout carries
    // is refused, not reported as sent.
    session.keys->send({{KeyModifier::Control, KeyModifier::Shift}, 'k'});
    session.keys->send({{}, 'x'});
    EXPECT_THROW(session.keys->send({{}, 0x100263a}), KeyInjectionError);
    EXPECT_EQ(witness.keyLog(2), (std::vector<std::string>{"4b cs", "78 -"}));

    // Another program on the bus is refused.
    EXPECT_EQ(runProgram({"sh", "-c",
                          "gdbus call --session -d com.keyloft.VantorCompanion.Shell -o "
                          "/com/keyloft/VantorCompanion/Shell -m "
                          "com.keyloft.VantorCompanion.Shell1.PressKey 0x6b 0 2>&1 | "
                          "grep -q Error.Refused"}),
              0);

    // A second subscriber, even one running the agent's program, cannot take the windows over.
    QDBusConnection second =
        QDBusConnection::connectToBus(QDBusConnection::SessionBus, u"second"_s);
    const QDBusMessage taken = second.call(
        QDBusMessage::createMethodCall(kShell, u"/com/keyloft/VantorCompanion/Shell"_s,
                                       u"com.keyloft.VantorCompanion.Shell1"_s, u"Subscribe"_s));
    EXPECT_EQ(taken.errorName(), u"com.keyloft.VantorCompanion.Error.Refused"_s);

    // Upgraded in place: the agent's file replaced by rename, as a package upgrade does.
    const QString self = QFile::symLinkTarget(u"/proc/self/exe"_s);
    ASSERT_TRUE(QFile::copy(self, self + u".new"_s) &&
                ::rename(QFile::encodeName(self + u".new"_s), QFile::encodeName(self)) == 0);
    // The extension switched off: the context reads Unknown and the tray says what to do. A
    // program that takes the extension's name meanwhile is neither believed nor sent keys.
    ASSERT_TRUE(desktop.setExtensionEnabled(false));
    EXPECT_TRUE(agent.shows("Unknown"));
    EXPECT_TRUE(session.problem->text.has_value());
    ASSERT_TRUE(second.registerService(kShell));
    second.send(QDBusMessage::createSignal(u"/com/keyloft/VantorCompanion/Shell"_s,
                                           u"com.keyloft.VantorCompanion.Shell1"_s,
                                           u"WindowChanged"_s)
                << quint64(7) << u"Forged"_s << u"forged"_s << QString() << 0u);
    EXPECT_THROW(session.keys->send({{}, 'x'}), KeyInjectionError);
    EXPECT_FALSE(agent.shows("forged", nullptr, nullptr, std::chrono::seconds(1)));
    // Back on, and the name free again: the subscription is renewed.
    ASSERT_TRUE(desktop.setExtensionEnabled(true));
    second = QDBusConnection(QString()); // the last handle: the connection closes
    QDBusConnection::disconnectFromBus(u"second"_s);
    // Its coming back moves no focus: a window brought forward must be reported afresh.
    EXPECT_TRUE(waitUntil([&] { return activateWitness() && agent.shows("Vantor Witness"); },
                          std::chrono::seconds(10)));
    EXPECT_FALSE(session.problem->text.has_value());
}

// Pins: a Shell newer than the releases the extension lists refused it, and nothing said why.
TEST(GnomeSession, SaysOnceWhenTheShellRefusesTheExtensionAsOutOfDate) {
    GnomeDesktop desktop("\"42\"");
    ASSERT_TRUE(desktop.ready());
    QStringList log;
    setLogObserver([&](const QString& line) { log << line; });
    const DesktopSession session = gnome::open();
    const QString shell =
        QDBusInterface(u"org.gnome.Shell"_s, u"/org/gnome/Shell"_s, u"org.gnome.Shell"_s)
            .property("ShellVersion")
            .toString()
            .section(u'.', 0, 0);
    const QString warning = u"GNOME Shell %1 is newer than this agent's extension (up to 42): the "
                            "front window can't be seen — update Vantor Companion"_s.arg(shell);
    EXPECT_TRUE(
        waitUntil([&] { return session.problem->text == warning; }, std::chrono::seconds(10)));
    setLogObserver({});
    EXPECT_EQ(log.filter(warning).size(), 1);
}

} // namespace
