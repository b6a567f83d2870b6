#include "RunProcess.h"

#include "AgentError.h"

#include <QElapsedTimer>
#include <gtest/gtest.h>

namespace {

// Standard output on success, "error: " and the error's description on failure.
std::string run(const char* script) {
    try {
        return runProcess(QStringLiteral("/bin/sh"),
                          {QStringLiteral("-c"), QString::fromUtf8(script), QStringLiteral("sh"),
                           QStringLiteral("quote \" back\\slash\nline ünï")})
            .toStdString();
    } catch (const AgentError& error) {
        return "error: " + error.message().toStdString();
    }
}

TEST(RunProcess, GivesOutputOrError) {
    // clang-format off
    const struct {
        const char* name;
        const char* script;
        std::string expected;
    } cases[] = {
        {"TrimsOutputKeepsInnerBreaks", "printf ' \\n\\t one\\n two \\r\\n\\n'", "one\n two"},
        {"InvalidUtf8IsEmpty", "printf 'ok\\377'", ""},
        {"FailureCarriesTrimmedStderr", "echo out; echo '  it broke \n' >&2; exit 3", "error: it broke"},
        {"FailureWithoutStderr", "exit 1", "error: Command failed"},
        {"FailureWithInvalidUtf8Stderr", "printf '\\377' >&2; exit 1", "error: Command failed"},
        {"KilledBySignalFails", "kill -9 $$", "error: Command failed"},
        // Regression: output beyond the pipe buffer stalled the child until the watchdog.
        {"LargeOutputDoesNotStall", "head -c 1048576 /dev/zero | tr '\\0' x; head -c 300000 /dev/zero >&2", std::string(1048576, 'x')},
        {"GrandchildHoldingPipeDoesNotBlock", "(sleep 30 &) ; echo done", "done"},
        {"ArgumentsVerbatim", "printf '%s' \"$1\"", "quote \" back\\slash\nline ünï"},
        {"ChildObeyingTerminationFails", "trap 'echo stopped >&2; exit 143' TERM; while :; do sleep 0.1; done", "error: stopped"},
    };
    // clang-format on
    for (const auto& c : cases)
        EXPECT_EQ(run(c.script), c.expected) << c.name;

    try {
        runProcess(QStringLiteral("/nonexistent/program"), {});
        ADD_FAILURE() << "expected a launch failure";
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
    EXPECT_EQ(run("trap '' TERM; while :; do sleep 0.1; done"), "error: Command failed");
    EXPECT_GE(timer.elapsed(), 7000);
}

} // namespace
