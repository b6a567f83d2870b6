#include "ScriptText.h"

#include <algorithm>
#include <array>
#include <optional>
#include <utility>

namespace script {
namespace {

constexpr std::size_t kMaxScriptBytes = 4096;

constexpr std::string_view kTitleScript =
    "tell application \"System Events\"\n"
    "  set frontApp to first application process whose frontmost is true\n"
    "  try\n"
    "    return value of attribute \"AXTitle\" of front window of frontApp\n"
    "  end try\n"
    "  return \"\"\n"
    "end tell";

constexpr std::array<std::pair<std::string_view, SystemVerb>, 4> kVerbScripts{{
    {"set volume output muted not (output muted of (get volume settings))", SystemVerb::MuteToggle},
    {"set current to output volume of (get volume settings)\n"
     "set target to current + 7\n"
     "if target > 100 then set target to 100\n"
     "set volume output volume target",
     SystemVerb::VolumeUp},
    {"set current to output volume of (get volume settings)\n"
     "set target to current - 7\n"
     "if target < 0 then set target to 0\n"
     "set volume output volume target",
     SystemVerb::VolumeDown},
    {"tell application \"System Events\"\n"
     "  set appNames to name of every application process whose visible is true\n"
     "end tell\n"
     "repeat with appName in appNames\n"
     "  set theName to appName as text\n"
     "  if theName is not \"Finder\" and theName is not \"Vantor Companion\" and theName is not "
     "\"Keyloft Companion\" then\n"
     "    try\n"
     "      tell application theName to quit\n"
     "    end try\n"
     "  end if\n"
     "end repeat\n"
     "return \"asked visible apps to quit\"",
     SystemVerb::QuitApps},
}};

// The X keysyms of the key codes the agent sends (US positions).
constexpr std::array<std::pair<int, uint32_t>, 10> kKeyCodes{{
    {123, 0xff51}, // Left
    {124, 0xff53}, // Right
    {125, 0xff54}, // Down
    {126, 0xff52}, // Up
    {36, 0xff0d},  // Return
    {48, 0xff09},  // Tab
    {49, 0x0020},  // space
    {53, 0xff1b},  // Escape
    {51, 0xff08},  // BackSpace
    {50, 0x0060},  // grave
}};

constexpr std::string_view kChordPrefix = "tell application \"System Events\" to ";

bool consume(std::string_view& text, std::string_view expected) {
    if (text.substr(0, expected.size()) != expected)
        return false;
    text.remove_prefix(expected.size());
    return true;
}

// One strictly decoded UTF-8 code point from the front of `text`.
std::optional<char32_t> takeCodePoint(std::string_view& text) {
    if (text.empty())
        return std::nullopt;
    const auto lead = static_cast<unsigned char>(text[0]);
    int length = lead < 0x80             ? 1
                 : (lead & 0xE0) == 0xC0 ? 2
                 : (lead & 0xF0) == 0xE0 ? 3
                 : (lead & 0xF8) == 0xF0 ? 4
                                         : 0;
    if (length == 0 || text.size() < static_cast<std::size_t>(length))
        return std::nullopt;
    char32_t code = length == 1 ? lead : lead & (0x7F >> length);
    for (int i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(text[static_cast<std::size_t>(i)]);
        if ((next & 0xC0) != 0x80)
            return std::nullopt;
        code = (code << 6) | (next & 0x3F);
    }
    static constexpr char32_t kMinimum[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < kMinimum[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        return std::nullopt; // overlong forms and surrogates
    text.remove_prefix(static_cast<std::size_t>(length));
    return code;
}

// " using {shift down, command down}" up to the end of the text, or nothing at all.
std::optional<std::vector<KeyModifier>> parseClause(std::string_view text) {
    std::vector<KeyModifier> modifiers;
    if (text.empty())
        return modifiers;
    if (!consume(text, " using {"))
        return std::nullopt;
    static constexpr std::array<std::pair<std::string_view, KeyModifier>, 4> kWords{{
        {"command down", KeyModifier::Control},
        {"shift down", KeyModifier::Shift},
        {"option down", KeyModifier::Alt},
        {"control down", KeyModifier::Control},
    }};
    do {
        bool matched = false;
        for (const auto& [word, modifier] : kWords)
            if (consume(text, word)) {
                modifiers.push_back(modifier);
                matched = true;
                break;
            }
        if (!matched)
            return std::nullopt;
    } while (consume(text, ", "));
    if (text != "}")
        return std::nullopt;
    return modifiers;
}

Request parseChord(std::string_view text) {
    const Refusal unknown{"Unsupported script"};
    KeyChord chord;
    if (consume(text, "key code ")) {
        std::size_t digits = 0;
        while (digits < text.size() && digits < 4 && text[digits] >= '0' && text[digits] <= '9')
            ++digits;
        if (digits == 0 || digits > 3 || (digits > 1 && text[0] == '0'))
            return unknown;
        const int code = std::stoi(std::string(text.substr(0, digits)));
        text.remove_prefix(digits);
        const auto known = std::find_if(kKeyCodes.begin(), kKeyCodes.end(),
                                        [code](const auto& row) { return row.first == code; });
        if (known == kKeyCodes.end())
            return Refusal{"Unsupported key code: " + std::to_string(code)};
        chord.keysym = known->second;
    } else if (consume(text, "keystroke \"")) {
        // A double quote arrives escaped and a backslash does not: keystroke "\"" is the quote
        // key and keystroke "\" the backslash key.
        std::optional<char32_t> character;
        if (consume(text, "\\\"\""))
            character = U'"';
        else if (!text.empty() && text[0] != '"' && (character = takeCodePoint(text)) &&
                 !consume(text, "\""))
            character.reset();
        if (!character)
            return unknown;
        chord.keysym = keysymForCharacter(*character);
        if (chord.keysym == 0)
            return Refusal{"Cannot type a control character"};
    } else {
        return unknown;
    }
    auto modifiers = parseClause(text);
    if (!modifiers)
        return unknown;
    chord.modifiers = std::move(*modifiers);
    return KeyRequest{std::move(chord)};
}

bool isBrowserScript(std::string_view text) {
    std::string_view rest = text;
    if (!consume(rest, "tell application id \""))
        return false;
    const auto quote = rest.find('"');
    if (quote == std::string_view::npos || quote == 0)
        return false;
    rest.remove_prefix(quote);
    return rest == "\" to return URL of active tab of front window" ||
           rest == "\" to return URL of front document";
}

} // namespace

Request parse(std::string_view text) {
    if (text.size() > kMaxScriptBytes)
        return Refusal{"Script is too long"};
    if (text == kTitleScript)
        return TitleRequest{};
    for (const auto& [script, verb] : kVerbScripts)
        if (text == script)
            return VerbRequest{verb};
    if (isBrowserScript(text))
        return Refusal{"Browser addresses cannot be read on this desktop"};
    std::string_view rest = text;
    if (consume(rest, kChordPrefix))
        return parseChord(rest);
    return Refusal{"Unsupported script"};
}

} // namespace script
