#include "ScriptText.h"

#include "AgentContext.h"
#include "ShortcutScript.h"
#include "SystemControls.h"

#include <QString>
#include <gtest/gtest.h>

namespace {

std::string utf8(const QString& text) {
    return text.toStdString();
}

std::string refusal(std::string_view text) {
    const auto request = script::parse(text);
    const auto* refused = std::get_if<script::Refusal>(&request);
    return refused ? refused->reason : "(accepted)";
}

TEST(ScriptText, RecognisesTheAgentsOwnTexts) {
    EXPECT_TRUE(std::holds_alternative<script::TitleRequest>(script::parse(utf8(titleScript()))));
    const auto& verbs = systemVerbScripts();
    for (auto verb = verbs.begin(); verb != verbs.end(); ++verb)
        EXPECT_TRUE(std::holds_alternative<script::VerbRequest>(script::parse(utf8(verb.value()))))
            << verb.key().toStdString();
    for (const char* keys :
         {"command+shift+k", "Control + Left", "return", "command+`", "shift+\"", "\\", "€"})
        EXPECT_TRUE(std::holds_alternative<script::KeyRequest>(
            script::parse(utf8(shortcutScript(QString::fromUtf8(keys))))))
            << keys;
    for (const char* bundle : {"com.google.Chrome", "com.apple.Safari"})
        EXPECT_EQ(refusal(utf8(*browserScript(QString::fromLatin1(bundle)))),
                  "Browser addresses cannot be read on this desktop");
}

struct NearCase {
    const char* name;
    std::string text;
    const char* reason;
};
class NearTemplates : public testing::TestWithParam<NearCase> {};

TEST_P(NearTemplates, AreRefused) {
    EXPECT_EQ(refusal(GetParam().text), GetParam().reason);
}

const std::string kPrefix = "tell application \"System Events\" to ";
// One row per way the parser can refuse.
// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Texts, NearTemplates,
    testing::Values(
        NearCase{"ClauseWithoutSpace", kPrefix + "keystroke \"k\" using {command down,shift down}", "Unsupported script"},
        NearCase{"ModifierWithoutDown", kPrefix + "keystroke \"k\" using {command}", "Unsupported script"},
        NearCase{"TrailingText", kPrefix + "key code 123 ", "Unsupported script"},
        NearCase{"LeadingZero", kPrefix + "key code 0123", "Unsupported script"},
        NearCase{"TwoCharacters", kPrefix + "keystroke \"ab\"", "Unsupported script"},
        NearCase{"UnescapedQuote", kPrefix + "keystroke \"\"\"", "Unsupported script"},
        NearCase{"InvalidUtf8", kPrefix + "keystroke \"\xff\"", "Unsupported script"},
        NearCase{"ControlCharacter", kPrefix + "keystroke \"\n\"", "Cannot type a control character"},
        NearCase{"UnknownKeyCode", kPrefix + "key code 122", "Unsupported key code: 122"},
        NearCase{"OtherApplication", "tell application \"Finder\" to key code 36", "Unsupported script"},
        NearCase{"TitleWithTrailingNewline", utf8(titleScript()) + "\n", "Unsupported script"},
        NearCase{"Huge", kPrefix + "keystroke \"" + std::string(5000, 'a') + "\"", "Script is too long"}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

} // namespace
