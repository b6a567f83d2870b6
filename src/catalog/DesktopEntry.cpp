#include "DesktopEntry.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string trim(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos)
        return {};
    const auto last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

// Locale variants in the order the format matches them: lang_COUNTRY@MODIFIER, lang_COUNTRY,
// lang@MODIFIER, lang.
std::vector<std::string> localeVariants(std::string locale) {
    std::vector<std::string> variants;
    std::string modifier;
    if (const auto at = locale.find('@'); at != std::string::npos) {
        modifier = locale.substr(at);
        locale.erase(at);
    }
    if (const auto dot = locale.find('.'); dot != std::string::npos)
        locale.erase(dot);
    if (locale.empty() || locale == "C" || locale == "POSIX")
        return variants;
    std::string lang = locale, country;
    if (const auto underscore = locale.find('_'); underscore != std::string::npos) {
        lang = locale.substr(0, underscore);
        country = locale.substr(underscore);
    }
    if (!country.empty() && !modifier.empty())
        variants.push_back(lang + country + modifier);
    if (!country.empty())
        variants.push_back(lang + country);
    if (!modifier.empty())
        variants.push_back(lang + modifier);
    variants.push_back(lang);
    return variants;
}

} // namespace

DesktopEntry DesktopEntry::parse(const std::string& text) {
    DesktopEntry entry;
    std::map<std::string, std::string>* group = nullptr;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        const std::string trimmed = trim(line);
        if (trimmed.empty() || trimmed.front() == '#')
            continue;
        if (trimmed.front() == '[') {
            if (trimmed.back() != ']') {
                group = nullptr;
                continue;
            }
            // A repeated group continues nowhere: the format forbids it, the first one counts.
            const std::string name = trimmed.substr(1, trimmed.size() - 2);
            group = entry.m_groups.count(name) ? nullptr : &entry.m_groups[name];
            continue;
        }
        const auto equals = trimmed.find('=');
        if (!group || equals == std::string::npos)
            continue;
        const std::string key = trim(trimmed.substr(0, equals));
        if (key.empty())
            continue;
        group->emplace(key, trim(trimmed.substr(equals + 1)));
    }
    return entry;
}

std::optional<DesktopEntry> DesktopEntry::load(const std::string& path, std::size_t maxBytes) {
    // Non-blocking open and a regular-file check: a FIFO named like an entry would otherwise
    // hold the reader until some writer appeared.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) ||
        static_cast<std::size_t>(info.st_size) > maxBytes) {
        ::close(fd);
        return std::nullopt;
    }
    std::string text;
    char buffer[8192];
    for (;;) {
        const ssize_t count = ::read(fd, buffer, sizeof buffer);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0 || text.size() + static_cast<std::size_t>(count) > maxBytes) {
            ::close(fd);
            if (count == 0)
                break;
            return std::nullopt;
        }
        text.append(buffer, static_cast<std::size_t>(count));
    }
    return parse(text);
}

std::optional<std::string> DesktopEntry::raw(const std::string& key,
                                             const std::string& group) const {
    const auto g = m_groups.find(group);
    if (g == m_groups.end())
        return std::nullopt;
    const auto k = g->second.find(key);
    if (k == g->second.end())
        return std::nullopt;
    return k->second;
}

std::optional<std::string> DesktopEntry::string(const std::string& key,
                                                const std::string& group) const {
    const auto value = raw(key, group);
    if (!value)
        return std::nullopt;
    return unescapeDesktopString(*value);
}

std::optional<std::string> DesktopEntry::localeString(const std::string& key,
                                                      const std::string& locale,
                                                      const std::string& group) const {
    for (const std::string& variant : localeVariants(locale))
        if (auto value = string(key + "[" + variant + "]", group))
            return value;
    return string(key, group);
}

bool DesktopEntry::boolean(const std::string& key, const std::string& group) const {
    return raw(key, group) == std::optional<std::string>("true");
}

std::vector<std::string> DesktopEntry::list(const std::string& key,
                                            const std::string& group) const {
    std::vector<std::string> items;
    const auto value = raw(key, group);
    if (!value)
        return items;
    std::string current;
    for (std::size_t i = 0; i < value->size(); ++i) {
        const char c = (*value)[i];
        if (c == '\\' && i + 1 < value->size() && (*value)[i + 1] == ';') {
            current += "\\;";
            ++i;
        } else if (c == ';') {
            items.push_back(current);
            current.clear();
        } else {
            current += c;
        }
    }
    if (!current.empty())
        items.push_back(current);
    for (std::string& item : items) {
        std::string unescaped;
        for (std::size_t i = 0; i < item.size(); ++i) {
            if (item[i] == '\\' && i + 1 < item.size() && item[i + 1] == ';') {
                unescaped += ';';
                ++i;
            } else {
                unescaped += item[i];
            }
        }
        item = unescapeDesktopString(unescaped);
    }
    return items;
}

std::string unescapeDesktopString(const std::string& value) {
    std::string out;
    out.reserve(value.size());
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] != '\\' || i + 1 == value.size()) {
            out += value[i];
            continue;
        }
        switch (value[++i]) {
        case 's':
            out += ' ';
            break;
        case 'n':
            out += '\n';
            break;
        case 't':
            out += '\t';
            break;
        case 'r':
            out += '\r';
            break;
        case '\\':
            out += '\\';
            break;
        default:
            out += '\\';
            out += value[i];
        }
    }
    return out;
}

std::string messagesLocale() {
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"})
        if (const char* value = std::getenv(name); value && *value)
            return value;
    return {};
}

std::optional<std::vector<std::string>> splitExec(const std::string& exec,
                                                  const ExecContext& context) {
    std::vector<std::string> arguments;
    std::string current;
    bool inArgument = false; // distinguishes "" (an empty argument) from nothing
    bool quoted = false;
    // A field code alone in an argument that expands to nothing removes the argument.
    bool onlyFieldCodes = true;

    const auto finish = [&] {
        if (inArgument && !(onlyFieldCodes && current.empty()))
            arguments.push_back(current);
        current.clear();
        inArgument = false;
        onlyFieldCodes = true;
    };

    for (std::size_t i = 0; i < exec.size(); ++i) {
        const char c = exec[i];
        if (quoted) {
            if (c == '"') {
                quoted = false;
            } else if (c == '\\' && i + 1 < exec.size() &&
                       std::string_view("\"`$\\").find(exec[i + 1]) != std::string_view::npos) {
                current += exec[++i];
            } else if (c == '%' && i + 1 < exec.size() && exec[i + 1] == '%') {
                current += exec[++i];
            } else {
                current += c;
            }
            continue;
        }
        if (c == ' ' || c == '\t' || c == '\n') {
            finish();
            continue;
        }
        inArgument = true;
        if (c == '"') {
            quoted = true;
            onlyFieldCodes = false;
            continue;
        }
        if (c == '%' && i + 1 < exec.size()) {
            const char code = exec[++i];
            switch (code) {
            case '%':
                current += '%';
                onlyFieldCodes = false;
                break;
            case 'i':
                if (!context.icon.empty() && current.empty()) {
                    arguments.push_back("--icon");
                    current = context.icon;
                    onlyFieldCodes = false;
                }
                break;
            case 'c':
                current += context.name;
                onlyFieldCodes = false;
                break;
            case 'k':
                current += context.entryPath;
                onlyFieldCodes = false;
                break;
            case 'f':
            case 'F':
            case 'u':
            case 'U':
            case 'd':
            case 'D':
            case 'n':
            case 'N':
            case 'v':
            case 'm':
                break;
            default:
                return std::nullopt; // an unknown field code makes the line invalid
            }
            continue;
        }
        current += c;
        onlyFieldCodes = false;
    }
    if (quoted)
        return std::nullopt;
    finish();
    if (arguments.empty())
        return std::nullopt;
    return arguments;
}
