// The settings check: the daemon's own reader and loading, and a word for
// every line that does not say what its writer meant.

#include "daemon.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <string_view>
#include <utility>
#include <vector>

namespace {

constexpr std::string_view MODULE_PREFIX = "MOD_OSTRIVO_";
constexpr std::string_view BLANKS = " \t\v\f\r";

struct problem {
    std::size_t line; // 0: the file as a whole
    bool error;
    std::string message;
};

struct report {
    std::vector<problem> problems;
    unsigned errors = 0;

    void say(std::size_t line, bool error, std::string message)
    {
        errors += error ? 1 : 0;
        problems.push_back({line, error, std::move(message)});
    }

    // In the file's order, the file's own problems first.
    void print(const char *path, std::FILE *err)
    {
        std::stable_sort(problems.begin(), problems.end(),
                         [](const problem &a, const problem &b) { return a.line < b.line; });
        for (const problem &each : problems) {
            std::string where = each.line > 0 ? ":" + std::to_string(each.line) : "";
            std::fprintf(err, "%s%s: %s: %s\n", path, where.c_str(),
                         each.error ? "error" : "warning", each.message.c_str());
        }
    }
};

// Text from the file, quoted, with what a terminal or the journal would
// take for control characters written as \xNN.
std::string quoted(std::string_view text)
{
    std::string out = "\"";
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f || c == '"' || c == '\\') {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string_view trimmed(std::string_view text)
{
    std::size_t first = text.find_first_not_of(BLANKS);
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(BLANKS) - first + 1);
}

bool contains_ignoring_case(std::string_view text, std::string_view part)
{
    for (std::size_t at = 0; at + part.size() <= text.size(); ++at)
        if (settings_same_key(text.substr(at, part.size()), part))
            return true;
    return false;
}

const module_setting *known(std::string_view key)
{
    for (const module_setting &setting : MODULE_SETTINGS)
        if (settings_same_key(key, setting.key))
            return &setting;
    return nullptr;
}

// The key a line's writer meant when blanks, or a word such as "export",
// stand around it.
const module_setting *meant(std::string_view key)
{
    key = trimmed(key);
    std::size_t blank = key.find_last_of(BLANKS);
    return known(blank == std::string_view::npos ? key : key.substr(blank + 1));
}

std::size_t distance(std::string_view a, std::string_view b)
{
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j)
        row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            bool same = settings_same_key(a.substr(i - 1, 1), b.substr(j - 1, 1));
            std::size_t next = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (same ? 0 : 1)});
            diagonal = row[j];
            row[j] = next;
        }
    }
    return row[b.size()];
}

const char *nearest_key(std::string_view key)
{
    const char *best = MODULE_SETTINGS[0].key;
    for (const module_setting &setting : MODULE_SETTINGS)
        if (distance(key, setting.key) < distance(key, best))
            best = setting.key;
    return best;
}

std::string dotted(ipv4_host address)
{
    return std::to_string(address >> 24) + "." + std::to_string(address >> 16 & 0xFF) + "." +
           std::to_string(address >> 8 & 0xFF) + "." + std::to_string(address & 0xFF);
}

std::string value_text(const module_settings &settings, const module_setting &setting)
{
    switch (setting.type) {
    case setting_type::number:
        return std::to_string(settings.*setting.number);
    case setting_type::address:
        return dotted(settings.*setting.number);
    case setting_type::string:
        break;
    }
    // Quoted as the file may quote it, so that the printed line reads back
    // as the same value.
    return "\"" + settings.*setting.text + "\"";
}

// Why the file cannot be read, and what to do about it.
std::string open_failure(int error)
{
    switch (error) {
    case EINVAL:
        return "it is not a regular file: replace it with one";
    case EFBIG:
        return "it is larger than 1 MiB, which no settings file is: replace it";
    case ENOENT:
        return std::string(std::strerror(error)) +
               ": write it, from /opt/Ostrivo/etc/settings.example";
    case EACCES:
        return std::string(std::strerror(error)) + ": make it readable by all (chmod 644)";
    default:
        return std::string(std::strerror(error)) + ": make it a file the daemon can read";
    }
}

// A number's or an address's value read as the daemon's getter reads it:
// where it ends, or null when it does not parse.
const char *parse(const module_setting &setting, const char *value, std::uint32_t &parsed)
{
    return setting.type == setting_type::number ? settings_parse_uint(value, parsed)
                                                : settings_parse_ipaddr(value, parsed);
}

// What becomes of a required setting left at its default, and how to mend it.
struct requirement {
    const char *key;
    const char *fallback; // what the daemon does with the default
    const char *wanted;   // what to write
};
constexpr requirement REQUIRED[] = {
    {"MOD_OSTRIVO_SRC_IPADDR", "accept datagrams from 0.0.0.0 alone, relaying nothing",
     "<address>, the IPv4 address of the one host whose datagrams are relayed"},
    {"MOD_OSTRIVO_DST_IPADDR", "send to 0.0.0.0, its own host, relaying nothing",
     "<address>, the IPv4 address datagrams are relayed to"},
    {"MOD_OSTRIVO_PORT", "listen on a port the system chooses, relaying nothing",
     "<port>, the UDP port the source sends to (1 to 65535)"},
};

const requirement *required(const char *key)
{
    for (const requirement &entry : REQUIRED)
        if (std::strcmp(entry.key, key) == 0)
            return &entry;
    return nullptr;
}

struct key_lines {
    std::size_t first = 0;   // the line the daemon takes
    std::size_t blanked = 0; // the first line that meant it but has blanks
};

// Every line on its own: keys the daemon will not see as written.
void check_lines(const settings_handle &file, report &out,
                 std::map<const module_setting *, key_lines> &lines)
{
    settings_cursor cursor;
    settings_line line{};
    while (settings_next_line(file, cursor, line)) {
        std::string_view text = line.text;
        if (std::size_t cr = text.find('\r'); cr != std::string_view::npos && cr + 1 < text.size())
            out.say(line.number, false,
                    "a CR stands inside this line: the daemon reads a line only up to its first "
                    "CR, so what follows is lost; save the file with LF (or CR LF) line ends");
        if (line.value == nullptr) {
            if (contains_ignoring_case(text, MODULE_PREFIX))
                out.say(line.number, false,
                        "this line looks like a setting but has no '=': the daemon skips it; "
                        "write KEY=value");
            continue;
        }
        const module_setting *setting = known(line.key);
        if (setting == nullptr) {
            if (const module_setting *intended = meant(line.key)) {
                out.say(line.number, false,
                        std::string("the key ") + quoted(line.key) + " is not " + intended->key +
                            ": the daemon ignores this line; write " + intended->key +
                            "=value, with nothing before the key and no "
                            "blanks around it");
                key_lines &entry = lines[intended];
                if (entry.blanked == 0)
                    entry.blanked = line.number;
            } else if (contains_ignoring_case(line.key, MODULE_PREFIX)) {
                out.say(line.number, false,
                        "unknown key " + quoted(trimmed(line.key)) +
                            ": the daemon ignores this line; did you mean " +
                            nearest_key(trimmed(line.key)) + "?");
            }
            continue;
        }
        key_lines &entry = lines[setting];
        if (entry.first != 0) {
            out.say(line.number, false,
                    std::string(setting->key) + " is set again: the daemon takes line " +
                        std::to_string(entry.first) + " and ignores this one; remove one of them");
            continue;
        }
        entry.first = line.number;
        text = text.substr(0, text.find('\r'));
        if (std::size_t quote = text.rfind('"'); quote != std::string_view::npos) {
            std::string_view after = trimmed(text.substr(quote + 1));
            if (!after.empty())
                out.say(line.number, false,
                        "the daemon ignores " + quoted(after) +
                            " after the last double quote; close the quoted value, or remove "
                            "what follows it");
        }
    }
}

// Each setting as the daemon loads it.
void check_values(const settings_handle &file, const module_settings &settings, report &out,
                  std::map<const module_setting *, key_lines> &lines)
{
    for (const module_setting &setting : MODULE_SETTINGS) {
        std::size_t number = 0;
        const char *value = settings_find(file, setting.key, &number);
        const requirement *need = required(setting.key);
        if (value == nullptr) {
            std::size_t blanked = lines[&setting].blanked;
            if (need != nullptr)
                out.say(blanked, true,
                        std::string(setting.key) + " is not set" +
                            (blanked != 0 ? " (this line's key is another)" : "") +
                            ": the daemon will " + need->fallback + "; write " + setting.key + "=" +
                            need->wanted);
            continue;
        }
        if (setting.type == setting_type::string)
            continue;
        std::uint32_t parsed = 0;
        const char *end = parse(setting, value, parsed);
        const char *kind = setting.type == setting_type::number
                               ? "a decimal number"
                               : "an IPv4 address of four dotted parts, 0 to 255";
        if (end == nullptr) {
            std::string message = std::string(setting.key) + ": " + quoted(value) + " is not " +
                                  kind + ", so the daemon will use " +
                                  value_text(settings, setting);
            if (need != nullptr)
                out.say(number, true,
                        message + " and " + need->fallback + "; write " + setting.key + "=" +
                            need->wanted);
            else
                out.say(number, false, message + "; write " + kind);
            continue;
        }
        if (std::string_view rest = trimmed(end); !rest.empty())
            out.say(number, false,
                    std::string(setting.key) + ": the daemon reads " + quoted(value) + " as " +
                        value_text(settings, setting) + " and ignores " + quoted(rest) +
                        "; remove it, or correct the value");
        if (need == nullptr)
            continue;
        if (parsed == 0)
            out.say(number, true,
                    std::string(setting.key) + " is " + value_text(settings, setting) +
                        ": the daemon will " + need->fallback + "; write " + setting.key + "=" +
                        need->wanted);
        else if (setting.number == &module_settings::port && parsed > 65535)
            out.say(number, true,
                    std::string(setting.key) + " is " + std::to_string(parsed) +
                        ", above 65535: the daemon will refuse it and exit with status 1; write " +
                        setting.key + "=" + need->wanted);
    }
}

} // namespace

int check_settings(const char *path, check_options options, std::FILE *out, std::FILE *err)
{
    report problems;
    settings_handle file = settings_open(path, "r");
    int open_error = errno;
    module_settings settings;
    load_module_settings(settings, file);

    if (!file) {
        problems.say(0, true,
                     "the daemon cannot read it, so it will run on its defaults and relay "
                     "nothing: " +
                         open_failure(open_error));
    } else {
        std::map<const module_setting *, key_lines> lines;
        check_lines(file, problems, lines);
        check_values(file, settings, problems, lines);
    }

    if (options.print) {
        for (const module_setting &setting : MODULE_SETTINGS) {
            const char *value = settings_find(file, setting.key);
            std::uint32_t parsed = 0;
            bool taken = value != nullptr && (setting.type == setting_type::string ||
                                              parse(setting, value, parsed) != nullptr);
            std::fprintf(out, "%s=%s%s\n", setting.key, value_text(settings, setting).c_str(),
                         taken ? "" : " # default");
        }
    }
    problems.print(path, err);
    std::size_t warnings = problems.problems.size() - problems.errors;
    if (!options.quiet || !problems.problems.empty())
        std::fprintf(err, "%s: %u error%s, %zu warning%s: the daemon %s relay with it\n", path,
                     problems.errors, problems.errors == 1 ? "" : "s", warnings,
                     warnings == 1 ? "" : "s", problems.errors == 0 ? "will" : "will not");
    settings_close(std::move(file));
    return problems.errors == 0 ? 0 : 1;
}
