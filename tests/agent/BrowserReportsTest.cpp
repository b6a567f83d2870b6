#include "BrowserReports.h"

#include "FrontApplication.h"
#include "NativeFraming.h"

#include <gtest/gtest.h>

namespace {

using framing::encode;
using namespace std::chrono_literals;

std::string header(std::uint32_t length) {
    return encode(std::string()).replace(0, 4, reinterpret_cast<const char*>(&length), 4);
}

struct FramingCase {
    const char* name;
    std::string bytes;
    std::vector<std::string> frames;
    std::size_t consumed;
    bool oversized;
};
class Framing : public testing::TestWithParam<FramingCase> {};

TEST_P(Framing, SplitsWhatHasArrived) {
    const auto parsed = framing::parse(GetParam().bytes);
    EXPECT_EQ(parsed.frames, GetParam().frames);
    EXPECT_EQ(parsed.consumed, GetParam().consumed);
    EXPECT_EQ(parsed.oversized, GetParam().oversized);
}

const std::string kMax(framing::kMaxFrame, 'x');
// clang-format off
INSTANTIATE_TEST_SUITE_P(Streams, Framing, testing::Values(
    FramingCase{"Nothing", "", {}, 0, false},
    FramingCase{"PartialHeader", header(2).substr(0, 3), {}, 0, false},
    FramingCase{"PartialBody", encode("{}").substr(0, 5), {}, 0, false},
    FramingCase{"SeveralFramesAndATail", encode("{}") + encode("[1]") + encode("{}").substr(0, 2), {"{}", "[1]"}, 13, false},
    FramingCase{"ZeroLength", encode("") + encode("{}"), {"", "{}"}, 10, false},
    FramingCase{"AtTheCap", encode(kMax), {kMax}, 4 + framing::kMaxFrame, false},
    FramingCase{"OverTheCapStopsAfterGoodFrames", encode("{}") + header(framing::kMaxFrame + 1) + "x", {"{}"}, 6, true}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

struct ReportCase {
    const char* name;
    std::string json;
    std::optional<QString> url; // nothing: the report is refused as a whole
    QString title = QStringLiteral("Docs");
};
class Reports : public testing::TestWithParam<ReportCase> {};

TEST_P(Reports, AreCheckedAsUntrustedText) {
    const auto report = parseBrowserReport(GetParam().json);
    ASSERT_EQ(report.has_value(), GetParam().url.has_value());
    if (report) {
        EXPECT_EQ(report->url, *GetParam().url);
        EXPECT_EQ(report->title, GetParam().title);
    }
}

std::string tab(const std::string& url, const std::string& title = "Docs",
                const std::string& rest = R"("focused":true,"incognito":false)") {
    return R"({"type":"tab","url":")" + url + R"(","title":")" + title + "\"," + rest + "}";
}

const std::string kLong = "https://a.example/" + std::string(kMaxBrowserUrl - 18, 'p');
// clang-format off
INSTANTIATE_TEST_SUITE_P(Json, Reports, testing::Values(
    ReportCase{"Https", tab("https://a.example/x?q=1#f"), QStringLiteral("https://a.example/x?q=1#f")},
    ReportCase{"Http", tab("http://127.0.0.1:8080/"), QStringLiteral("http://127.0.0.1:8080/")},
    ReportCase{"FileIsPrivate", tab("file:///home/me/tax.pdf"), QString()},
    ReportCase{"BrowserPage", tab("chrome://settings/"), QString()},
    ReportCase{"Javascript", tab("javascript:alert(1)"), QString()},
    ReportCase{"Data", tab("data:text/html,hi"), QString()},
    ReportCase{"Ftp", tab("ftp://a.example/f"), QString()},
    ReportCase{"UserInfoRemoved", tab("https://me:pw@a.example/"), QStringLiteral("https://a.example/")},
    ReportCase{"AtTheCap", tab(kLong), QString::fromStdString(kLong)},
    ReportCase{"OverTheCapDropped", tab(kLong + "p"), QString()},
    ReportCase{"ControlsStripped", tab(R"(https://a.example/\u0007x\r\n)", R"(Do\u0000cs\u001b)"), QStringLiteral("https://a.example/x")},
    ReportCase{"UrlMissing", R"({"type":"tab","focused":false,"incognito":false})", QString(), QString()},
    ReportCase{"IncognitoMissing", tab("https://a.example/", "Docs", R"("focused":true)"), std::nullopt},
    ReportCase{"FocusedNotBool", tab("https://a.example/", "Docs", R"("focused":"yes","incognito":false)"), std::nullopt},
    ReportCase{"OtherType", R"({"type":"query","focused":true,"incognito":false})", std::nullopt},
    ReportCase{"NotJson", "{\"type\":\"tab\",", std::nullopt},
    ReportCase{"NotAnObject", "[]", std::nullopt},
    ReportCase{"InvalidUtf8", tab("https://a.example/", "D\xff"), std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

struct PickCase {
    const char* name;
    std::vector<HostReport> reports;
    FrontApplication front;
    std::optional<QString> address;
};
class Picks : public testing::TestWithParam<PickCase> {};

const auto kNow = std::chrono::steady_clock::time_point(1h);

TEST_P(Picks, VouchOnlyForTheFocusedWindow) {
    EXPECT_EQ(pickAddress(GetParam().reports, GetParam().front, kNow), GetParam().address);
}

HostReport host(qint64 pid, const char* url, const char* title = "Docs", bool focused = true,
                bool incognito = false, std::chrono::seconds age = 0s) {
    return {pid,
            {QString::fromLatin1(url), QString::fromLatin1(title), focused, incognito},
            kNow - age};
}

const FrontApplication kChromium{QStringLiteral("Chromium"), QStringLiteral("chromium"),
                                 QStringLiteral("Docs - Chromium"), 40};
const FrontApplication kNoPid{QStringLiteral("Firefox"), QStringLiteral("firefox"),
                              QStringLiteral("Docs — Mozilla Firefox"), 0};
const auto kA = QStringLiteral("https://a/");
// clang-format off
INSTANTIATE_TEST_SUITE_P(Fronts, Picks, testing::Values(
    PickCase{"Matches", {host(40, "https://a/")}, kChromium, kA},
    PickCase{"OtherBrowserProcess", {host(41, "https://a/")}, kChromium, std::nullopt},
    PickCase{"NoPidAnyProcess", {host(41, "https://a/")}, kNoPid, kA},
    PickCase{"Unfocused", {host(40, "https://a/", "Docs", false)}, kChromium, std::nullopt},
    PickCase{"Incognito", {host(40, "https://a/", "Docs", true, true)}, kChromium, std::nullopt},
    PickCase{"Stale", {host(40, "https://a/", "Docs", true, false, kReportLifetime + 1s)}, kChromium, std::nullopt},
    PickCase{"TitleMismatch", {host(40, "https://a/", "Mail")}, kChromium, std::nullopt},
    PickCase{"EmptyTitle", {host(40, "https://a/", "")}, kChromium, std::nullopt},
    PickCase{"NoAddress", {host(40, "")}, kChromium, std::nullopt},
    PickCase{"TwoProfilesFocusedOneWins", {host(40, "https://b/", "Docs", false), host(40, "https://a/", "Docs", true, false, 2s)}, kChromium, kA},
    PickCase{"TwoProfilesNewestWins", {host(40, "https://b/", "Docs", true, false, 3s), host(40, "https://a/")}, kChromium, kA}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

TEST(BrowserIds, AreTheSupportedBrowsersOnly) {
    for (const char* id : {"chromium", "google-chrome", "brave-browser", "microsoft-edge",
                           "vivaldi-stable", "firefox", "firefox-esr", "org.mozilla.firefox"})
        EXPECT_TRUE(isSupportedBrowser(QString::fromLatin1(id))) << id;
    for (const char* id : {"xterm", "epiphany", "com.apple.Safari", ""})
        EXPECT_FALSE(isSupportedBrowser(QString::fromLatin1(id))) << id;
}

} // namespace
