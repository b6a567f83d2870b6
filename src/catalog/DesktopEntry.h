#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

// A reader of the Desktop Entry format (freedesktop.org): groups, key=value lines, escapes and
// localised keys. Plain C++ so that the helper programs, which link no Qt, share it with the
// catalogue. Strings are UTF-8.
class DesktopEntry {
public:
    // Parses the text of a .desktop file. Lines before the first group and lines that are
    // neither comments, groups nor assignments are skipped; the first of duplicate keys wins.
    static DesktopEntry parse(const std::string& text);

    // Reads and parses a file; nothing when it is not a regular file (never blocking on a FIFO),
    // cannot be read or is larger than `maxBytes`.
    static std::optional<DesktopEntry> load(const std::string& path,
                                            std::size_t maxBytes = 1 << 20);

    // The raw value (escapes not applied) of `key` in `group`, the key name taken exactly.
    std::optional<std::string> raw(const std::string& key,
                                   const std::string& group = "Desktop Entry") const;

    // A string value with the escapes \s \n \t \r \\ applied.
    std::optional<std::string> string(const std::string& key,
                                      const std::string& group = "Desktop Entry") const;

    // A localestring: the best match for `locale` (a POSIX locale such as "de_DE.UTF-8@euro";
    // empty means the default value), else the unlocalised value.
    std::optional<std::string> localeString(const std::string& key, const std::string& locale,
                                            const std::string& group = "Desktop Entry") const;

    // A boolean: true only for the value "true".
    bool boolean(const std::string& key, const std::string& group = "Desktop Entry") const;

    // A list of strings separated by ";" (with "\;" standing for a literal semicolon).
    std::vector<std::string> list(const std::string& key,
                                  const std::string& group = "Desktop Entry") const;

    bool hasGroup(const std::string& group) const { return m_groups.count(group) != 0; }

private:
    std::map<std::string, std::map<std::string, std::string>> m_groups;
};

// Applies the string escapes \s \n \t \r \\ (an unknown escape keeps both characters).
std::string unescapeDesktopString(const std::string& value);

// The locale the user reads messages in: LC_ALL, else LC_MESSAGES, else LANG.
std::string messagesLocale();

// Splits an Exec value (escapes already applied) into program and arguments by the format's
// quoting rules. Field codes are expanded as for a launch without files or URLs: %f %F %u %U
// (and the deprecated ones) vanish, %i gives "--icon ICON" when `icon` is set, %c the name,
// %k the entry's path, %% a "%". Nothing when the quoting is broken or the line is empty.
struct ExecContext {
    std::string icon;
    std::string name;
    std::string entryPath;
};
std::optional<std::vector<std::string>> splitExec(const std::string& exec,
                                                  const ExecContext& context = {});
