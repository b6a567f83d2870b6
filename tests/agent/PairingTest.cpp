#include "Pairing.h"

#include "TempEnvironment.h"

#include <QDir>
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

TEST(PairingStore, RoundTripsOverwritesAndErasesAPrivateFile) {
    TempEnvironment env;
    // Pins writing through a link to another file, and a folder left writable by others.
    const QString folder = QFileInfo(Pairing::storePath()).absolutePath();
    const QString other = env.path() + QStringLiteral("/other");
    ASSERT_TRUE(QDir().mkpath(folder) && ::chmod(QFile::encodeName(folder), 0777) == 0);
    ASSERT_TRUE(writeTestFile(other, "mine") && QFile::link(other, Pairing::storePath()));
    const mode_t otherMode = modeOf(other);
    const Pairing stored{QStringLiteral(" https://cloud.example/ "), QStringLiteral("ab12Cd"),
                         QStringLiteral("s3cr=t, \"quoted\"; ünïcode\\ @at #hash\n")};
    stored.save();
    EXPECT_EQ(modeOf(Pairing::storePath()), 0600u);
    EXPECT_EQ(modeOf(folder), 0700u);
    EXPECT_FALSE(QFileInfo(Pairing::storePath()).isSymLink());
    EXPECT_EQ(modeOf(other), otherMode);
    QFile untouched(other);
    EXPECT_TRUE(untouched.open(QIODevice::ReadOnly) && untouched.readAll() == "mine");
    EXPECT_EQ(Pairing::load(), stored);

    const Pairing second{QStringLiteral("https://b"), QStringLiteral("BBBBBB"),
                         QStringLiteral("two")};
    second.save();
    EXPECT_EQ(Pairing::load(), second);
    Pairing::erase();
    QString problem;
    EXPECT_FALSE(Pairing::load(&problem));
    EXPECT_TRUE(problem.isEmpty());
}

TEST(PairingStore, IncompleteStoresStartUnpairedUntilTheNextSave) {
    const struct {
        const char* name;
        const char* body; // nullptr: no file at all
        bool reportsProblem;
    } cases[] = {
        {"NoFile", nullptr, false},
        {"SecretMissing", "[General]\ncloudUrl=https://x\npairCode=ABCDEF\n", true},
        {"SecretEmpty", "[General]\ncloudUrl=https://x\npairCode=ABCDEF\npairSecret=\n", true},
        {"Binary", "\x01\x02\xff\xfe[\n=\n", false},
    };
    for (const auto& c : cases) {
        TempEnvironment env;
        if (c.body)
            writeStore(QString::fromUtf8(c.body));
        QString problem;
        EXPECT_FALSE(Pairing::load(&problem)) << c.name;
        EXPECT_EQ(!problem.isEmpty(), c.reportsProblem) << c.name << problem.toStdString();

        const Pairing fresh{QStringLiteral("https://c"), QStringLiteral("CCCCCC"),
                            QStringLiteral("s")};
        fresh.save();
        EXPECT_EQ(Pairing::load(), fresh) << c.name;
    }
}

} // namespace
