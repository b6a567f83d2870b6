#include "ScriptText.h"

#include "AgentContext.h"

#include <QString>
#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace {

std::string refusal(std::string_view text) {
    const auto request = script::parse(text);
    const auto* refused = std::get_if<script::Refusal>(&request);
    return refused ? refused->reason : "(accepted)";
}

TEST(ScriptText, RefusesNearTemplatesAndBrowserAddresses) {
    const std::string prefix = "tell application \"System Events\" to ";
    // One row per way the parser can refuse.
    // clang-format off
    const struct { const char* name; std::string text; const char* reason; } cases[] = {
        {"ClauseWithoutSpace", prefix + "keystroke \"k\" using {command down,shift down}", "Unsupported script"},
        {"ModifierWithoutDown", prefix + "keystroke \"k\" using {command}", "Unsupported script"},
        {"TrailingText", prefix + "key code 123 ", "Unsupported script"},
        {"LeadingZero", prefix + "key code 0123", "Unsupported script"},
        {"TwoCharacters", prefix + "keystroke \"ab\"", "Unsupported script"},
        {"UnescapedQuote", prefix + "keystroke \"\"\"", "Unsupported script"},
        {"InvalidUtf8", prefix + "keystroke \"\xff\"", "Unsupported script"},
        {"ControlCharacter", prefix + "keystroke \"\n\"", "Cannot type a control character"},
        {"OtherApplication", "tell application \"Finder\" to key code 36", "Unsupported script"},
        {"TitleWithTrailingNewline", titleScript().toStdString() + "\n", "Unsupported script"},
        {"ChromeAddress", browserScript(u"com.google.Chrome"_s)->toStdString(), "Browser addresses cannot be read on this desktop"},
        {"SafariAddress", browserScript(u"com.apple.Safari"_s)->toStdString(), "Browser addresses cannot be read on this desktop"},
        {"Huge", prefix + "keystroke \"" + std::string(5000, 'a') + "\"", "Script is too long"},
    };
    // clang-format on
    for (const auto& c : cases)
        EXPECT_EQ(refusal(c.text), c.reason) << c.name;
}

} // namespace
