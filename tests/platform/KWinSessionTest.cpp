#include "KWinSession.h"

#include "AgentContext.h"
#include "AgentCore.h"
#include "FakeInputKeys.h"
#include "KWinBus.h"
#include "KWinDesktop.h"
#include "KWinFocus.h"
#include "KeyChord.h"
#include "TempEnvironment.h"

#include <QDBusMessage>
#include <QRegularExpression>
#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace {

// The script objects KWin holds now: /0, /1, ... on Plasma 5.
int scriptsInKWin() {
    QDBusConnection bus = kwinbus::connect(QStringLiteral("test"));
    const QDBusMessage reply = bus.call(QDBusMessage::createMethodCall(
        kwinbus::kService, QStringLiteral("/"),
        QStringLiteral("org.freedesktop.DBus.Introspectable"), QStringLiteral("Introspect")));
    kwinbus::disconnect(bus);
    return int(reply.arguments().value(0).toString().count(
        QRegularExpression(QStringLiteral("<node name=\"\\d+\"/>"))));
}

// Runs `body` inside KWin as a script: calls come from KWin's own bus connection.
void runInKWin(const TempEnvironment& env, const QString& agent, const QString& body) {
    const QString path = env.path() + QStringLiteral("/probe.js");
    writeTestFile(path, QStringLiteral("const agent = \"%1\"; %2").arg(agent, body).toUtf8());
    QDBusConnection bus = kwinbus::connect(QStringLiteral("test"));
    kwinbus::scripting(bus, QStringLiteral("unloadScript"), {QStringLiteral("probe")});
    const auto id =
        kwinbus::scripting(bus, QStringLiteral("loadScript"), {path, QStringLiteral("probe")});
    ASSERT_TRUE(id && kwinbus::runScript(bus, id->toInt()));
    kwinbus::disconnect(bus);
}

QString focus(const QString& map) {
    return QStringLiteral("callDBus(agent, \"/KWinFocus\", \"org.vantor.Companion.KWinFocus\", "
                          "\"Focus\", %1);")
        .arg(map);
}

TEST(KWinSession, FocusAndCaptionChangesReachTheCore) {
    TempEnvironment env;
    writeTestFile(env.dataHome() + QStringLiteral("/applications/vantor-test-client.desktop"),
                  "[Desktop Entry]\nType=Application\nName=Test Client\nExec=true\n");
    KWinDesktop desktop;
    ASSERT_TRUE(desktop.ready());
    ASSERT_TRUE(kwin::probe());

    CoreServices services = CoreServices::defaults();
    auto source = std::make_shared<KWinFocusSource>();
    services.frontApplication = source;
    AgentCore core(services);
    core.start();
    auto shows = [&](const QString& app, const QString& id, const QString& title) {
        return waitUntil([&] {
            return core.lastContext.activeApp == app && core.lastContext.bundleId == id &&
                   core.lastContext.windowTitle == title;
        });
    };
    auto first = std::make_unique<WaylandWindow>(QStringLiteral("vantor-test-client"),
                                                 QStringLiteral("Première fenêtre ✓"));
    EXPECT_TRUE(shows(u"Test Client"_s, u"vantor-test-client"_s, u"Première fenêtre ✓"_s));
    EXPECT_EQ(source->frontApplication().value_or(FrontApplication{}).pid, first->pid());

    first->retitle("Renamed");
    EXPECT_TRUE(shows(u"Test Client"_s, u"vantor-test-client"_s, u"Renamed"_s));
    auto second = std::make_unique<WaylandWindow>(u"other-tool"_s, u"Second"_s);
    EXPECT_TRUE(shows(u"other-tool"_s, u"other-tool"_s, u"Second"_s));

    // Only KWin's connection may speak for the desktop; what it says is checked field by field.
    const QString agent = source->busName();
    struct Row {
        const char* name;
        QString script;
        QString title;
        bool front;
    };
    const Row rows[] = {
        {"wrong types",
         focus(u"{caption: 5, resourceClass: [1], pid: \"x\", activated: 1}"_s),
         {},
         true},
        {"1 MB caption", focus(u"{caption: \"é\".repeat(1 << 19)}"_s), QString(4096, QChar(0xe9)),
         true},
        {"nothing focused", focus(u"{}"_s), {}, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        runInKWin(env, agent, row.script);
        EXPECT_TRUE(waitUntil([&] {
            const auto front = source->frontApplication();
            return front.has_value() == row.front && (!front || front->title == row.title);
        }));
    }
    QDBusConnection intruder = kwinbus::connect(QStringLiteral("intruder"));
    intruder.call(QDBusMessage::createMethodCall(agent, u"/KWinFocus"_s,
                                                 u"org.vantor.Companion.KWinFocus"_s, u"Focus"_s)
                  << QVariantMap{{u"caption"_s, u"forged"_s}});
    kwinbus::disconnect(intruder);
    EXPECT_FALSE(waitUntil([&] { return source->frontApplication().has_value(); },
                           std::chrono::milliseconds(300)));

    first.reset();
    second.reset();
    EXPECT_TRUE(shows(u"Unknown"_s, u"unknown"_s, QString()));
}

TEST(KWinSession, ChordsAndLettersArriveThroughFakeInput) {
    TempEnvironment env;
    KWinDesktop desktop;
    ASSERT_TRUE(desktop.ready());
    KWinFocusSource source;
    WaylandWindow window(QStringLiteral("vantor-test-client"), QStringLiteral("Keys"));
    ASSERT_TRUE(waitUntil([&] { return source.frontApplication().has_value(); }));
    FakeInputKeys keys;
    EXPECT_EQ(keys.refusal(), QString());
    struct Row {
        const char* name;
        KeyChord chord;
        const char* logged; // nothing: refused
    };
    const Row rows[] = {
        {"ctrl+shift+k", {{KeyModifier::Control, KeyModifier::Shift}, 'k'}, "4b cs"},
        {"a letter on the Shift level", {{}, 'A'}, "41 s"},
        {"not on the layout", {{}, keysymForCharacter(U'ж')}, nullptr},
        {"a plain letter", {{}, 'q'}, "71 -"},
    };
    int expected = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        if (!row.logged) {
            EXPECT_THROW(keys.send(row.chord), KeyInjectionError);
            continue;
        }
        keys.send(row.chord);
        const QStringList log = window.keyLog(++expected);
        ASSERT_EQ(log.size(), expected);
        EXPECT_EQ(log.last(), QLatin1String(row.logged));
    }
}

TEST(KWinSession, OneScriptPerSessionAcrossAgentsAndKWinRestarts) {
    TempEnvironment env;
    KWinDesktop desktop;
    ASSERT_TRUE(desktop.ready());
    auto first = std::make_unique<KWinFocusSource>();
    ASSERT_TRUE(waitUntil([&] { return first->scriptRunning(); }));
    {
        KWinFocusSource second;
        EXPECT_TRUE(second.scriptRunning());
        EXPECT_EQ(scriptsInKWin(), 1) << "the second agent replaced the first one's copy";
    }
    EXPECT_EQ(scriptsInKWin(), 0) << "unloaded when its agent went";

    ASSERT_TRUE(desktop.restart());
    EXPECT_TRUE(waitUntil([&] { return first->scriptRunning(); }));
    WaylandWindow window(QStringLiteral("after-restart"), QStringLiteral("Back"));
    EXPECT_TRUE(waitUntil(
        [&] { return first->frontApplication().value_or(FrontApplication{}).title == u"Back"_s; }));
    first.reset();
    EXPECT_EQ(scriptsInKWin(), 0);
}

} // namespace
