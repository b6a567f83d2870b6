#include "BrowserReports.h"

#include "FrontApplication.h"
#include "NativeFraming.h"

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

} // namespace
