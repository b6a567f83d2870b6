#include "RunProcess.h"

#include "AgentError.h"
#include "TempEnvironment.h"

#include <QElapsedTimer>
#include <gtest/gtest.h>

namespace {

struct Outcome {
    bool threw = false;
    QString text; // standard output on success, the error's description on failure
};

Outcome run(const QString& script, const QStringList& arguments = {}) {
    try {
        return {false, runProcess(QStringLiteral("/bin/sh"),
                                  QStringList{QStringLiteral("-c"), script} + arguments)};
    } catch (const std::exception& error) {
        return {true, errorDescription(error)};
    }
}

TEST(RunProcess, GivesOutputOrError) {
    // clang-format off
    const struct {
        const char* name;
        const char* script;
        bool threw;
        std::string text;
    } cases[] = {
        {"TrimsOutputKeepsInnerBreaks", "printf ' \\n\\t one\\n two \\r\\n\\n'", false, "one\n two"},
        {"TrimsUnicodeSpace", "printf '\\302\\240title\\342\\200\\250'", false, "title"},
        {"EmptyOutput", "true", false, ""},
        {"InvalidUtf8IsEmpty", "printf 'ok\\377'", false, ""},
        {"FailureCarriesTrimmedStderr", "echo out; echo '  it broke \n' >&2; exit 3", true, "it broke"},
        {"FailureWithoutStderr", "exit 1", true, "Command failed"},
        {"FailureWithInvalidUtf8Stderr", "printf '\\377' >&2; exit 1", true, "Command failed"},
        {"KilledBySignalFails", "kill -9 $$", true, "Command failed"},
        // Regression: output beyond the pipe buffer stalled the child until the watchdog.
        {"LargeOutputDoesNotStall", "head -c 1048576 /dev/zero | tr '\\0' x; head -c 300000 /dev/zero >&2", false, std::string(1048576, 'x')},
        {"GrandchildHoldingPipeDoesNotBlock", "(sleep 30 &) ; echo done", false, "done"},
        {"ArgumentsVerbatim", "printf '%s' \"$1\"", false, "quote \" back\\slash\nline ünï"},
        {"ChildObeyingTerminationFails", "trap 'echo stopped >&2; exit 143' TERM; while :; do sleep 0.1; done", true, "stopped"},
    };
    // clang-format on
    const QStringList arguments{QStringLiteral("sh"),
                                QStringLiteral("quote \" back\\slash\nline ünï")};
    for (const auto& c : cases) {
        const Outcome outcome = run(QString::fromUtf8(c.script), arguments);
        EXPECT_EQ(outcome.threw, c.threw) << c.name;
        EXPECT_EQ(outcome.text.toStdString(), c.text) << c.name;
    }
}

TEST(RunProcess, LaunchFailureIsASystemError) {
    try {
        runProcess(QStringLiteral("/nonexistent/program"), {});
        FAIL() << "expected a launch failure";
    } catch (const SystemError& error) {
        EXPECT_TRUE(error.description().contains(QStringLiteral("/nonexistent/program")));
    }
}

// Regression: a child that ignores the termination request must not block the caller forever.
// Returning at all is the check (a hang ends in the test's time-out); the lower bound pins that
// the watchdog grants the child its 7 s.
TEST(RunProcess, ChildIgnoringTerminationIsKilled) {
    QElapsedTimer timer;
    timer.start();
    const Outcome outcome = run(QStringLiteral("trap '' TERM; while :; do sleep 0.1; done"));
    EXPECT_TRUE(outcome.threw);
    EXPECT_EQ(outcome.text, QStringLiteral("Command failed"));
    EXPECT_GE(timer.elapsed(), 7000);
}

} // namespace
