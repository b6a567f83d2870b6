#include "BrowserReports.h"

#include "FrontApplication.h"
#include "Log.h"
#include "NativeFraming.h"
#include "TempEnvironment.h"

#include <QFile>
#include <QProcess>
#include <cstdio>
#include <gtest/gtest.h>

namespace {

using framing::encode;
using namespace std::chrono_literals;
using namespace Qt::StringLiterals;

TEST(Framing, SplitsWhatHasArrived) {
    const std::string header = encode(std::string(framing::kMaxFrame + 1, 'x')).substr(0, 4);
    const std::string max(framing::kMaxFrame, 'x');
    const struct {
        const char* name;
        std::string bytes;
        std::vector<std::string> frames;
        std::size_t consumed;
        bool oversized;
    } cases[] = {
        // clang-format off
        {"PartialBody", encode("{}").substr(0, 5), {}, 0, false},
        {"SeveralFramesEmptyOneAndATail", encode("{}") + encode("") + encode("[1]") + encode("{}").substr(0, 2), {"{}", "", "[1]"}, 17, false},
        {"AtTheCap", encode(max), {max}, 4 + framing::kMaxFrame, false},
        {"OverTheCapStopsAfterGoodFrames", encode("{}") + header + "x", {"{}"}, 6, true},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto parsed = framing::parse(c.bytes);
        EXPECT_EQ(parsed.frames, c.frames);
        EXPECT_EQ(parsed.consumed, c.consumed);
        EXPECT_EQ(parsed.oversized, c.oversized);
    }
}

std::string tab(const std::string& url, const std::string& title = "Docs",
                const std::string& rest = R"("focused":true,"incognito":false)") {
    return R"({"type":"tab","url":")" + url + R"(","title":")" + title + "\"," + rest + "}";
}

TEST(BrowserReports, AreCheckedAsUntrustedText) {
    const std::string longUrl = "https://a.example/" + std::string(kMaxBrowserUrl - 18, 'p');
    const struct {
        const char* name;
        std::string json;
        std::optional<QString> url; // nothing: the report is refused as a whole
    } cases[] = {
        // clang-format off
        {"FileIsPrivate", tab("file:///home/me/tax.pdf"), QString()},
        {"UserInfoRemoved", tab("https://me:pw@a.example/"), QStringLiteral("https://a.example/")},
        {"AtTheCap", tab(longUrl), QString::fromStdString(longUrl)},
        {"OverTheCapDropped", tab(longUrl + "p"), QString()},
        {"ControlsStripped", tab(R"(https://a.example/\u0007x\r\n)", R"(Do\u0000cs\u001b)"), QStringLiteral("https://a.example/x")},
        {"IncognitoMissing", tab("https://a.example/", "Docs", R"("focused":true)"), std::nullopt},
        {"FocusedNotBool", tab("https://a.example/", "Docs", R"("focused":"yes","incognito":false)"), std::nullopt},
        {"OtherType", R"({"type":"query","focused":true,"incognito":false})", std::nullopt},
        {"InvalidUtf8", tab("https://a.example/", "D\xff"), std::nullopt},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto report = parseBrowserReport(c.json);
        ASSERT_EQ(report.has_value(), c.url.has_value());
        EXPECT_EQ(report.value_or(BrowserReport{}).url, c.url.value_or(QString()));
        EXPECT_EQ(report.value_or(BrowserReport{}).title, c.url ? u"Docs"_s : QString());
    }
}

TEST(BrowserReports, VouchOnlyForTheFocusedWindow) {
    const auto now = std::chrono::steady_clock::time_point(1h);
    const QString a = u"https://a/"_s, docs = u"Docs"_s;
    const struct {
        const char* name;
        std::vector<HostReport> reports; // browser pid, {address, title, focused, incognito}, time
        std::optional<QString> address;
        qint64 frontPid = 40; // 0: unknown, any browser process may vouch
    } cases[] = {
        // clang-format off
        {"Matches", {{40, {a, docs, true, false}, now}}, a},
        {"OtherBrowserProcess", {{41, {a, docs, true, false}, now}}, {}},
        {"NoPidAnyProcess", {{41, {a, docs, true, false}, now}}, a, 0},
        {"NoPidTwoReportsNeither", {{41, {a, docs, true, false}, now}, {42, {u"https://evil/"_s, docs, true, false}, now}}, {}, 0},
        {"Unfocused", {{40, {a, docs, false, false}, now}}, {}},
        {"Incognito", {{40, {a, docs, true, true}, now}}, {}},
        {"Stale", {{40, {a, docs, true, false}, now - kReportLifetime - 1s}}, {}},
        {"TitleMismatch", {{40, {a, u"Mail"_s, true, false}, now}}, {}},
        {"EmptyTitle", {{40, {a, {}, true, false}, now}}, {}},
        {"NoAddress", {{40, {{}, docs, true, false}, now}}, {}},
        {"TwoProfilesNewestWins", {{40, {u"https://b/"_s, docs, true, false}, now - 3s}, {40, {a, docs, true, false}, now}}, a},
        // clang-format on
    };
    for (const auto& c : cases) {
        const FrontApplication front{u"Chromium"_s, u"chromium"_s, u"Docs - Chromium"_s,
                                     c.frontPid};
        EXPECT_EQ(pickAddress(c.reports, front, now), c.address) << c.name;
    }
}

// Our real host, its browser played by the test through two pipes. Started by bash (which the
// agent is told is a browser) or by the test itself, which is no browser.
struct Host : QProcess {
    Host(const QString& program, bool byBrowser) {
        start(u"bash"_s, {u"-c"_s, byBrowser ? u"\"$0\"; exit"_s : u"exec \"$0\""_s, program});
        waitForStarted();
    }
    ~Host() override {
        closeWriteChannel(); // the browser closes the port: the host ends
        waitForFinished();
    }
    // Queries the host has passed on to its browser so far.
    int queries() {
        return int(
            framing::parse(m_seen.append(readAllStandardOutput().toStdString())).frames.size());
    }
    void report(const std::string& title) {
        write(QByteArray::fromStdString(framing::encode(tab("https://a.example/", title))));
    }
    std::string m_seen;
};

// Pins a refused host reconnecting and querying its browser in a loop, 32 hosts of any program
// taking every slot, a silent connection holding one, and a host refused after the upgrade that
// replaced its file.
TEST(BrowserHosts, AreTakenFromBrowsersOnlyBackOffWhenRefusedAndSurviveAnUpgrade) {
    TempEnvironment env;
    const QString program = env.path() + u"/vantor-browser-host"_s;
    ASSERT_TRUE(QFile::copy(QStringLiteral(VANTOR_BROWSER_HOST), program));
    int refusals = 0;
    setLogObserver(
        [&](const QString& line) { refusals += line.startsWith(u"Refused a browser"_s); });
    const auto agent = [&](QStringList hosts) {
        auto reports = std::make_unique<BrowserReports>(
            BrowserReports::Options{env.path() + u"/run/vantor-companion/browser.sock"_s,
                                    hosts,
                                    {u"bash"_s},
                                    [] { return std::chrono::steady_clock::now(); },
                                    500ms});
        EXPECT_TRUE(reports->listen());
        return reports;
    };
    const auto address = [](BrowserReports& reports, const Host& host) {
        return reports.address(
            {u"Chromium"_s, u"chromium"_s, u"Docs - Chromium"_s, host.processId()});
    };
    {
        SCOPED_TRACE("refused: no query reaches the browser, one log line");
        auto reports = agent({});
        Host spinning(program, true);
        EXPECT_FALSE(waitUntil([&] { return spinning.queries() > 0 || refusals > 1; }, 2500ms));
        EXPECT_EQ(refusals, 1);
    }
    auto reports = agent({program});
    SCOPED_TRACE("32 hosts of a program that is no browser leave a browser's host its slot");
    std::vector<std::unique_ptr<Host>> flood;
    for (int i = 0; i < 32; ++i) {
        flood.push_back(std::make_unique<Host>(program, false));
        flood.back()->report("Flood"); // answers, as a flooding program would
    }
    Host browser(program, true);
    ASSERT_TRUE(waitUntil([&] { return browser.queries() == 1; }));
    browser.report("Docs");
    ASSERT_TRUE(waitUntil([&] { return address(*reports, browser).has_value(); }));
    flood.clear();
    {
        SCOPED_TRACE("a host that leaves a query unanswered is dropped, and asked again");
        Host silent(program, true);
        EXPECT_TRUE(waitUntil([&] { return silent.queries() >= 2; }));
    }
    SCOPED_TRACE("upgraded: the host's file replaced by rename, the agent restarted");
    ASSERT_TRUE(QFile::copy(program, program + u".new"_s) &&
                ::rename(QFile::encodeName(program + u".new"_s), QFile::encodeName(program)) == 0);
    reports.reset();
    reports = agent({program});
    EXPECT_TRUE(waitUntil([&] { return address(*reports, browser).has_value(); }));
    setLogObserver({});
}

} // namespace
