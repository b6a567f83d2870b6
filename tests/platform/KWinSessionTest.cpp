#include "KWinSession.h"

#include "DesktopAgent.h"
#include "FakeInputKeys.h"
#include "KWinBus.h"
#include "KWinDesktop.h"
#include "KWinFocus.h"
#include "KeyChord.h"
#include "Log.h"
#include "TempEnvironment.h"

#include <QDBusMessage>
#include <QRegularExpression>
#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace {

// The script objects KWin holds now: /0, /1, ... on Plasma 5, /Scripting/Script0, ... on 6.
int scriptsInKWin() {
    QDBusConnection bus = kwinbus::connect(u"test"_s);
    int count = 0;
    for (const auto& [path, node] :
         {std::pair{u"/"_s, u"\\d+"_s}, {u"/Scripting"_s, u"Script\\d+"_s}}) {
        const QDBusMessage reply = bus.call(QDBusMessage::createMethodCall(
            kwinbus::kService, path, u"org.freedesktop.DBus.Introspectable"_s, u"Introspect"_s));
        count += int(reply.arguments().value(0).toString().count(
            QRegularExpression(u"<node name=\"%1\"/>"_s.arg(node))));
    }
    kwinbus::disconnect(bus);
    return count;
}

// Calls the agent's focus callback with `map` from inside KWin, as a script: from KWin's own
// bus connection.
void focusFromKWin(const TempEnvironment& env, const QString& agent, const QString& map) {
    const QString path = env.path() + u"/probe.js"_s;
    writeTestFile(path, u"callDBus(\"%1\", \"/KWinFocus\", \"org.vantor.Companion.KWinFocus\", "
                        u"\"Focus\", %2);"_s.arg(agent, map)
                            .toUtf8());
    QDBusConnection bus = kwinbus::connect(u"test"_s);
    kwinbus::scripting(bus, u"unloadScript"_s, {u"probe"_s});
    const auto id = kwinbus::scripting(bus, u"loadScript"_s, {path, u"probe"_s});
    ASSERT_TRUE(id && kwinbus::runScript(bus, id->toInt()));
    kwinbus::disconnect(bus);
}

TEST(KWinSession, FollowsFocusTypesChordsAndKeepsOneScriptAcrossRestarts) {
    TempEnvironment env;
    writeTestFile(env.dataHome() + u"/applications/vantor-test-client.desktop"_s,
                  "[Desktop Entry]\nType=Application\nName=Test Client\nExec=true\n");
    KWinDesktop desktop;
    ASSERT_TRUE(desktop.ready() && kwin::probe());
    auto source = std::make_shared<KWinFocusSource>(std::chrono::milliseconds(300));
    DesktopAgent watched(source);
    auto first =
        std::make_unique<WaylandWindow>(desktop, "vantor-test-client", "Première fenêtre ✓");
    EXPECT_TRUE(watched.shows("Test Client", "vantor-test-client", "Première fenêtre ✓"));
    EXPECT_EQ(source->frontApplication().value_or(FrontApplication{}).pid, first->pid());
    first->retitle("Renamed");
    EXPECT_TRUE(watched.shows("Test Client", "vantor-test-client", "Renamed"));
    auto second = std::make_unique<WaylandWindow>(desktop, "other-tool", "Second");
    EXPECT_TRUE(watched.shows("other-tool", "other-tool", "Second"));

    FakeInputKeys keys;
    EXPECT_EQ(keys.refusal(), QString());
    struct Chord {
        const char* name;
        KeyChord chord;
        const char* logged; // nothing: refused
    };
    const Chord chords[] = {
        {"ctrl+shift+k", {{KeyModifier::Control, KeyModifier::Shift}, 'k'}, "4b cs"},
        {"a letter on the Shift level", {{}, 'A'}, "41 s"},
        {"not on the layout", {{}, keysymForCharacter(U'ж')}, nullptr},
        {"a plain letter", {{}, 'q'}, "71 -"},
    };
    std::vector<std::string> logged;
    for (const Chord& row : chords) {
        SCOPED_TRACE(row.name);
        if (!row.logged) {
            EXPECT_THROW(keys.send(row.chord), KeyInjectionError);
            continue;
        }
        keys.send(row.chord);
        logged.emplace_back(row.logged);
    }
    EXPECT_EQ(second->keyLog(logged.size()), logged);

    first.reset(); // the script's own report of no window, before any made up below
    second.reset();
    EXPECT_TRUE(watched.shows("Unknown", "unknown", ""));

    // Only our script's calls from KWin's connection may speak for the desktop, and what they
    // say is checked field by field. Other scripts speak through the same connection.
    const QString agent = source->busName();
    const QString token = u"token: \"%1\", "_s.arg(source->callbackToken());
    struct Callback {
        const char* name;
        QString map;
        QString title;
        bool front;
        bool believed = true;
    };
    const Callback callbacks[] = {
        // clang-format off
        {"wrong types", u"{%1caption: 5, resourceClass: [1], pid: \"x\", activated: 1}"_s.arg(token), {}, true},
        {"caption at four times the cap", u"{%1caption: \"é\".repeat(32768)}"_s.arg(token), QString(4096, QChar(0xe9)), true},
        {"nothing focused", u"{%1}"_s.arg(token), {}, false},
        {"caption over it", u"{%1caption: \"é\".repeat(32769)}"_s.arg(token), {}, false, false},
        {"another script, without the token", u"{caption: \"Forged\"}"_s, {}, false, false},
        {"200,000 keys", u"(() => { const m = {%1caption: \"Forged\"}; for (let k = 0; k < 200000; ++k) m[\"k\" + k] = k; return m; })()"_s.arg(token), {}, false, false},
        // clang-format on
    };
    for (const Callback& row : callbacks) {
        SCOPED_TRACE(row.name);
        focusFromKWin(env, agent, row.map);
        if (!row.believed) {
            EXPECT_FALSE(waitUntil([&] { return source->frontApplication().has_value(); },
                                   std::chrono::milliseconds(500)));
            continue;
        }
        EXPECT_TRUE(waitUntil([&] {
            const auto front = source->frontApplication();
            return front.has_value() == row.front && (!front || front->title == row.title);
        }));
    }
    QDBusConnection bus = kwinbus::connect(u"unloader"_s);
    kwinbus::scripting(bus, u"unloadScript"_s, {QString::fromLatin1(KWinFocusSource::kScriptName)});
    kwinbus::disconnect(bus);
    EXPECT_TRUE(waitUntil([&] { return scriptsInKWin() == 1; })) << "loaded again once missing";
    QDBusConnection intruder = kwinbus::connect(u"intruder"_s);
    intruder.send(QDBusMessage::createMethodCall(agent, u"/KWinFocus"_s,
                                                 u"org.vantor.Companion.KWinFocus"_s, u"Focus"_s)
                  << QVariantMap{{u"caption"_s, u"forged"_s},
                                 {u"token"_s, source->callbackToken()}}); // it knows the secret
    EXPECT_FALSE(waitUntil([&] { return source->frontApplication().has_value(); },
                           std::chrono::milliseconds(300)));
    kwinbus::disconnect(intruder);

    // While KWin is away, a program that takes its name is handed nothing.
    ASSERT_TRUE(desktop.restart([] {
        QDBusConnection squatter = kwinbus::connect(u"squatter"_s);
        bool refused = false;
        setLogObserver([&](const QString& line) { refused |= line.contains(u"not KWin"_s); });
        ASSERT_TRUE(squatter.registerService(kwinbus::kService));
        EXPECT_TRUE(waitUntil([&] { return refused; }));
        setLogObserver({});
        kwinbus::disconnect(squatter);
    }));
    WaylandWindow back(desktop, "after-restart", "Back");
    EXPECT_TRUE(watched.shows("after-restart", "after-restart", "Back"));
    {
        KWinFocusSource another;
        EXPECT_EQ(scriptsInKWin(), 1) << "the second agent replaced the first one's copy";
    }
    EXPECT_EQ(scriptsInKWin(), 0) << "unloaded when its agent went";
}

} // namespace
