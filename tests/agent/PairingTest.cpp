#include "Pairing.h"

#include "TempEnvironment.h"

#include <QFile>
#include <QFileInfo>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace {

void writeStore(const QString& body) {
    const QString path = Pairing::storePath();
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(body.toUtf8());
}

mode_t modeOf(const QString& path) {
    struct stat info {};
    ::stat(QFile::encodeName(path).constData(), &info);
    return info.st_mode & 0777;
}

TEST(PairingStore, RoundTripsByteForByteInAPrivateFile) {
    TempEnvironment env;
    const Pairing stored{QStringLiteral(" https://cloud.example/ "), QStringLiteral("ab12Cd"),
                         QStringLiteral("s3cr=t, \"quoted\"; ünïcode\\ @at #hash\n")};
    stored.save();
    EXPECT_EQ(Pairing::storePath(),
              env.configHome() + QStringLiteral("/vantor-companion/vantor-companion.conf"));
    EXPECT_EQ(modeOf(Pairing::storePath()), 0600u);
    const auto loaded = Pairing::load();
    ASSERT_TRUE(loaded);
    EXPECT_EQ(*loaded, stored);
}

TEST(PairingStore, SaveOverwritesAndEraseRemoves) {
    TempEnvironment env;
    Pairing{QStringLiteral("https://a"), QStringLiteral("AAAAAA"), QStringLiteral("one")}.save();
    const Pairing second{QStringLiteral("https://b"), QStringLiteral("BBBBBB"),
                         QStringLiteral("two")};
    second.save();
    EXPECT_EQ(Pairing::load(), second);
    Pairing::erase();
    QString problem;
    EXPECT_FALSE(Pairing::load(&problem));
    EXPECT_TRUE(problem.isEmpty());
}

struct StoreCase {
    const char* name;
    const char* body; // nullptr: no file at all
    bool reportsProblem;
};
void PrintTo(const StoreCase& c, std::ostream* os) {
    *os << c.name;
}

class IncompleteStores : public testing::TestWithParam<StoreCase> {};

TEST_P(IncompleteStores, StartUnpaired) {
    TempEnvironment env;
    if (GetParam().body)
        writeStore(QString::fromUtf8(GetParam().body));
    QString problem;
    EXPECT_FALSE(Pairing::load(&problem));
    EXPECT_EQ(!problem.isEmpty(), GetParam().reportsProblem) << problem.toStdString();

    // A later save repairs whatever was there.
    const Pairing fresh{QStringLiteral("https://c"), QStringLiteral("CCCCCC"), QStringLiteral("s")};
    fresh.save();
    EXPECT_EQ(Pairing::load(), fresh);
}

INSTANTIATE_TEST_SUITE_P(
    Stores, IncompleteStores,
    testing::Values(
        StoreCase{"NoFile", nullptr, false}, StoreCase{"EmptyFile", "", false},
        StoreCase{"SecretMissing", "[General]\ncloudUrl=https://x\npairCode=ABCDEF\n", true},
        StoreCase{"SecretEmpty", "[General]\ncloudUrl=https://x\npairCode=ABCDEF\npairSecret=\n",
                  true},
        StoreCase{"HalfWritten", "[General]\ncloudUrl=https://x\npairCo", true},
        StoreCase{"Binary", "\x01\x02\xff\xfe[\n=\n", false}),
    [](const testing::TestParamInfo<StoreCase>& info) { return std::string(info.param.name); });

} // namespace
