#include "HttpRequest.h"

#include <QByteArrayView>
#include <gtest/gtest.h>

namespace {

using namespace Qt::StringLiterals;
using Query = QMap<QString, QString>;

HttpRequest request(const char* method, const char* path, Query query = {}, QByteArray body = {},
                    QStringList hosts = {}, QStringList origins = {}) {
    return {QString::fromUtf8(method), QString::fromUtf8(path), query, body, hosts, origins};
}

const auto get = [](const char* path, const Query& query = {}) {
    return request("GET", path, query);
};
const auto withQuery = [](const char* query) {
    return "GET /q?" + QByteArray(query) + " HTTP/1.1\r\n\r\n";
};

std::string describe(const std::optional<HttpRequest>& r) {
    if (!r)
        return "nothing";
    QString text = r->method + u" ["_s + r->path + u"] "_s;
    for (auto it = r->query.begin(); it != r->query.end(); ++it)
        text += it.key() + u'=' + it.value() + u'&';
    return (text + u" body="_s + QString::fromLatin1(r->body.toHex()) + u" hosts="_s +
            r->hosts.join(u'|') + u" origins="_s + r->origins.join(u'|'))
        .toStdString();
}

// Every valid case is also fed at every truncated prefix: a request is never recognised before all
// of it has arrived, however the bytes are cut.
TEST(HttpRequest, ParsesCompleteRequestsOnly) {
    // clang-format off
    const struct { const char* name; QByteArray buffer; std::optional<HttpRequest> expected; } cases[] = {
        {"Health", "GET /health HTTP/1.1\r\n\r\n", get("/health")},
        {"BareLineFeedsNeverEnd", "GET /health HTTP/1.1\n\n", std::nullopt},
        {"LoneCrAndLfDoNotEndALine", "GET /a HTTP/1.1\rContent-Length: 2\n\r\n\r\nxy", get("/a")},
        {"SingleTokenRequestLine", "GET\r\n\r\n" + QByteArray(100, 'x'), std::nullopt},
        {"NoVersion", "GET /a\r\n\r\n", get("/a")},
        {"ExtraTokensIgnored", "GET /a HTTP/1.1 more\r\n\r\n", get("/a")},
        {"RunsOfSpaces", "  GET   /a    HTTP/1.1 \r\n\r\n", get("/a")},
        {"SpaceWithCombiningMarkDoesNotSplit", "GET \xcc\x81/a HTTP/1.1\r\n\r\n", request("GET \xcc\x81/a", "HTTP/1.1")},
        {"MethodCaseKept", "get /health HTTP/1.1\r\n\r\n", request("get", "/health")},
        {"HeaderNotUtf8", "GET /a HTTP/1.1\r\nX: \xff\r\n\r\n", std::nullopt},
        {"BodyNotUtf8Allowed", "POST /a HTTP/1.1\r\nContent-Length: 2\r\n\r\n\xff\xfe", request("POST", "/a", {}, "\xff\xfe")},
        {"BodyShort", "POST /a HTTP/1.1\r\nContent-Length: 5\r\n\r\nabc", std::nullopt},
        {"BodyCutToLength", "POST /a HTTP/1.1\r\nContent-Length: 5\r\n\r\nabcdefgh", request("POST", "/a", {}, "abcde")},
        {"LengthNameAnyCaseAndBlanks", "POST /a HTTP/1.1\r\n CONTENT-LENGTH\t:  2 \r\n\r\nxy", request("POST", "/a", {}, "xy")},
        {"LengthUnicodeSpacesTrimmed", "POST /a HTTP/1.1\r\nContent-Length:\xc2\xa0" "2\xe2\x80\x83\r\n\r\nxy", request("POST", "/a", {}, "xy")},
        {"LengthPlusSign", "POST /a HTTP/1.1\r\nContent-Length: +2\r\n\r\nxy", request("POST", "/a", {}, "xy")},
        {"LengthNegativeIsEmptyBody", "POST /a HTTP/1.1\r\nContent-Length: -4\r\n\r\nxy", request("POST", "/a")},
        {"LengthOverflowIsZero", "POST /a HTTP/1.1\r\nContent-Length: 9223372036854775808\r\n\r\n", request("POST", "/a")},
        {"LengthHugeIncomplete", "POST /a HTTP/1.1\r\nContent-Length: 9223372036854775807\r\n\r\nxy", std::nullopt},
        {"LengthEmptyValueSkipped", "POST /a HTTP/1.1\r\nContent-Length: 2\r\nContent-Length:\r\n\r\nxy", request("POST", "/a", {}, "xy")},
        {"LengthLastWins", "POST /a HTTP/1.1\r\nContent-Length: 9\r\nContent-Length: 1\r\n\r\nxy", request("POST", "/a", {}, "x")},
        {"LengthMalformedResets", "POST /a HTTP/1.1\r\nContent-Length: 2\r\nContent-Length: two\r\n\r\nxy", request("POST", "/a")},
        {"LengthColonsSplitOnce", "POST /a HTTP/1.1\r\n:Content-Length:2\r\n\r\nxy", request("POST", "/a", {}, "xy")},
        {"PipelinedSecondIgnored", "GET /a HTTP/1.1\r\n\r\nGET /b HTTP/1.1\r\n\r\n", get("/a")},
        {"HostAndOriginKept", "GET /a HTTP/1.1\r\nhost: 127.0.0.1:1\r\nORIGIN:  null \r\nHost:x\r\n\r\n", request("GET", "/a", {}, {}, {u"127.0.0.1:1"_s, u"x"_s}, {u"null"_s})},
        {"PathNotDecoded", "GET /app%2Dicon HTTP/1.1\r\n\r\n", get("/app%2Dicon")},
        {"EmptyQuery", "GET /apps? HTTP/1.1\r\n\r\n", get("/apps")},
        {"LeadingQuestionMark", "GET ?a=1 HTTP/1.1\r\n\r\n", get("a=1")},
        {"OnlyQuestionMark", "GET ? HTTP/1.1\r\n\r\n", get("")},
        {"QueryDecoding", withQuery("a=1&b=x+y&c=%41%2B&t=%C3%A9t%C3%A9"), get("/q", {{u"a"_s, u"1"_s}, {u"b"_s, u"x y"_s}, {u"c"_s, u"A+"_s}, {u"t"_s, u"\u00e9t\u00e9"_s}})},
        {"QueryKeptRaw", withQuery("x=%zz&y=a+%4&n=%ff&a+b%21=1"), get("/q", {{u"x"_s, u"%zz"_s}, {u"y"_s, u"a %4"_s}, {u"n"_s, u"%ff"_s}, {u"a+b!"_s, u"1"_s}})},
        {"QuerySplitting", withQuery("k&=v&e==b&l=1&l=2&&==&"), get("/q", {{u"k"_s, u""_s}, {u"v"_s, u""_s}, {u"e"_s, u"=b"_s}, {u"l"_s, u"2"_s}})},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(describe(HttpRequest::parse(c.buffer)), describe(c.expected));
        if (!c.expected)
            continue;
        const qsizetype end = c.buffer.indexOf("\r\n\r\n") + 4 + c.expected->body.size();
        for (qsizetype length = 0; length < end; ++length)
            EXPECT_FALSE(HttpRequest::parse(QByteArrayView(c.buffer).first(length)))
                << "prefix " << length;
    }
}

} // namespace
