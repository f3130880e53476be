// The settings check: the daemon's own reader and loading, and a word for
// every line that does not say what its writer meant.

#include "check/check.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <map>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "net/net.h"

namespace {

constexpr std::string_view MODULE_PREFIX = "MOD_OSTRIVO_";

// For the three settings the relay needs: what the daemon does with the
// default, and what to write instead.
struct advice {
    const char *fallback;
    const char *wanted;
};
advice find_advice(setting_role role)
{
    switch (role) {
    case setting_role::source:
        return {"accept datagrams from 0.0.0.0 alone, relaying nothing",
                "<address>, the IPv4 address of the one host whose datagrams are relayed"};
    case setting_role::destination:
        return {"send to 0.0.0.0, its own host, relaying nothing",
                "<address>, the IPv4 address datagrams are relayed to"};
    case setting_role::port:
        return {"listen on a port the system chooses, relaying nothing",
                "<port>, the UDP port the source sends to (1 to 65535)"};
    case setting_role::unused:
        break;
    }
    return {nullptr, nullptr};
}

constexpr std::string_view BLANKS = " \t\v\f\r";
// A file of a thousand broken lines says the same thing a thousand times:
// this many messages of one kind are enough, then how many more there were.
constexpr unsigned MESSAGES_PER_KIND = 20;

// What a message is about, in the order of the table below; unprintable
// stays last.
enum class problem_kind {
    nul_byte,
    cr_inside,
    quote_before_equals,
    no_equals,
    blanked_key,
    unknown_key,
    key_again,
    text_after_quote,
    required_missing,
    required_unparsed,
    unparsed,
    text_after_value,
    source_any,
    required_zero,
    port_above,
    relays_nothing,
    port_in_use,
    unreadable,
    not_text,
    closed_to_user,
    unprintable
};
// Each kind's severity, and the few words that name it in "and N more".
struct kind_info {
    bool error;
    const char *summary;
};
constexpr kind_info KINDS[] = {
    {false, "a NUL byte in a line"},
    {false, "a CR inside a line"},
    {false, "a quote before '='"},
    {false, "a setting without '='"},
    {false, "a key with blanks or a word around it"},
    {false, "an unknown key"},
    {false, "a key set again"},
    {false, "text after the last double quote"},
    {true, "a required setting not set"},
    {true, "a required value that does not parse"},
    {false, "a value that does not parse"},
    {false, "text after a value"},
    {false, "a source of 0.0.0.0"},
    {true, "a required value of 0"},
    {true, "a port above 65535"},
    {true, "an address that relays nothing"},
    {true, "a port in use"},
    {true, "an unreadable file"},
    {true, "not text"},
    {false, "a file closed to the relay's user"},
    {false, "a value that cannot be printed"},
};
static_assert(std::size(KINDS) == static_cast<std::size_t>(problem_kind::unprintable) + 1);

struct problem {
    std::size_t line; // 0: the file as a whole
    bool error;
    std::string message;
};

struct report {
    std::vector<problem> problems;
    unsigned said[std::size(KINDS)] = {}; // messages of each kind
    unsigned errors = 0;
    unsigned warnings = 0;

    void say(problem_kind kind, std::size_t line, std::string message)
    {
        bool error = KINDS[static_cast<std::size_t>(kind)].error;
        ++(error ? errors : warnings);
        if (++said[static_cast<std::size_t>(kind)] <= MESSAGES_PER_KIND)
            problems.push_back({line, error, std::move(message)});
    }

    // In the file's order, the file's own problems first; then what was
    // left out.
    void print(const char *path, std::FILE *err)
    {
        std::stable_sort(problems.begin(), problems.end(),
                         [](const problem &a, const problem &b) { return a.line < b.line; });
        for (const problem &each : problems) {
            std::string where = each.line > 0 ? ":" + std::to_string(each.line) : "";
            std::fprintf(err, "%s%s: %s: %s\n", path, where.c_str(),
                         each.error ? "error" : "warning", each.message.c_str());
        }
        for (std::size_t kind = 0; kind < std::size(KINDS); ++kind)
            if (said[kind] > MESSAGES_PER_KIND)
                std::fprintf(err, "%s: and %u more like the above: %s\n", path,
                             said[kind] - MESSAGES_PER_KIND, KINDS[kind].summary);
    }
};

// Text as it can be shown: every byte outside printable ASCII written as
// \xNN, so that no terminal or journal takes it for a control or another
// character.
std::string escape(std::string_view text, bool escape_quotes)
{
    std::string out;
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte >= 0x7f || (escape_quotes && (c == '"' || c == '\\'))) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out;
}

bool is_printable(std::string_view text)
{
    return escape(text, false) == text;
}

// Text from the file, quoted for a message.
std::string quote(std::string_view text)
{
    return "\"" + escape(text, true) + "\"";
}

std::string_view trim(std::string_view text)
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

const module_setting *find_setting(std::string_view key)
{
    for (const module_setting &setting : MODULE_SETTINGS)
        if (settings_same_key(key, setting.key))
            return &setting;
    return nullptr;
}

// The key a line's writer meant when blanks, or a word such as "export",
// stand around it.
const module_setting *guess_setting(std::string_view key)
{
    key = trim(key);
    std::size_t blank = key.find_last_of(BLANKS);
    return find_setting(blank == std::string_view::npos ? key : key.substr(blank + 1));
}

std::size_t count_edits(std::string_view a, std::string_view b)
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

const char *find_nearest_key(std::string_view key)
{
    const char *best = MODULE_SETTINGS[0].key;
    for (const module_setting &setting : MODULE_SETTINGS)
        if (count_edits(key, setting.key) < count_edits(key, best))
            best = setting.key;
    return best;
}

std::string format_address(ipv4_host address)
{
    return std::to_string(address >> 24) + "." + std::to_string(address >> 16 & 0xFF) + "." +
           std::to_string(address >> 8 & 0xFF) + "." + std::to_string(address & 0xFF);
}

std::string format_value(const module_settings &settings, const module_setting &setting)
{
    switch (setting.type) {
    case setting_type::number:
        return std::to_string(settings.*setting.number);
    case setting_type::address:
        return format_address(settings.*setting.number);
    case setting_type::string:
        break;
    }
    // Quoted as the file may quote it, so that the printed line reads back
    // as the same value.
    return "\"" + escape(settings.*setting.text, false) + "\"";
}

// What keeps a user who neither owns the file nor is in its group, as the
// relay's own user is, from reading it; empty when nothing does.
std::string explain_closed_to_others(const char *path)
{
    std::string full = path;
    if (!full.starts_with('/')) {
        char here[4096];
        if (getcwd(here, sizeof here) == nullptr)
            return "";
        full = std::string(here) + "/" + full;
    }
    struct stat status {};
    for (std::size_t slash = 0; slash != std::string::npos; slash = full.find('/', slash + 1)) {
        std::string folder = slash == 0 ? "/" : full.substr(0, slash);
        if (::stat(folder.c_str(), &status) == 0 && (status.st_mode & S_IXOTH) == 0)
            return "let others search the folder " + quote(folder) + " (chmod o+x " +
                   escape(folder, true) + ")";
    }
    if (::stat(full.c_str(), &status) == 0 && (status.st_mode & S_IROTH) == 0)
        return "make it readable by others (chmod o+r " + escape(full, true) + ")";
    return "";
}

// Why the file cannot be read, and what to do about it.
std::string explain_open_failure(int error, const std::string &path_advice)
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
        return std::string(std::strerror(error)) + ": " +
               (path_advice.empty() ? "make it readable by the relay's user" : path_advice);
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

// For each setting, the line the daemon takes it from (0: none), and the
// first line that meant it but has blanks or a word around its key.
struct key_lines {
    std::size_t taken = 0;
    std::size_t blanked = 0;
};
using line_map = std::map<const module_setting *, key_lines>;

// Every line as the reader cut it: keys and text the daemon will not see as
// written. A line whose first non-blank is '#' is the operator's comment.
void check_lines(const settings_handle &file, report &out, line_map &lines)
{
    settings_cursor cursor;
    settings_line line{};
    while (settings_next_line(file, cursor, line)) {
        std::string_view text = line.text;
        if (trim(text).starts_with('#'))
            continue;
        // What the reader reads of the line: up to a NUL byte, then a CR.
        std::string_view read = text.substr(0, std::min(line.nul, text.size()));
        std::string_view content = read.substr(0, std::min(line.cr, read.size()));
        if (line.nul != std::string_view::npos &&
            text.substr(line.nul).find_first_not_of(std::string_view("\0\r", 2)) !=
                std::string_view::npos) {
            std::string_view lost = text.substr(line.nul + 1);
            if (line.value == nullptr && lost.find('=') != std::string_view::npos)
                out.say(problem_kind::nul_byte, line.number,
                        "a NUL byte stands before this line's '=': the daemon reads the line "
                        "only up to it, so it skips the line; remove the NUL byte");
            else
                out.say(problem_kind::nul_byte, line.number,
                        "a NUL byte stands in this line: the daemon reads it only up to there "
                        "and ignores what follows, " +
                            quote(lost) + "; remove the NUL byte");
        }
        if (line.cr != std::string_view::npos &&
            read.substr(line.cr).find_first_not_of('\r') != std::string_view::npos)
            out.say(problem_kind::cr_inside, line.number,
                    "a CR stands inside this line: the daemon reads a line only up to its first "
                    "CR, so what follows is lost; save the file with LF (or CR LF) line ends");
        if (line.value == nullptr) {
            if (line.quote != std::string_view::npos &&
                content.find('=', line.quote) != std::string_view::npos)
                out.say(problem_kind::quote_before_equals, line.number,
                        "the last double quote on this line stands before its '=': the daemon "
                        "ends the line there and skips it; write KEY=value or KEY=\"value\", "
                        "with no quote around the key");
            else if (line.nul == std::string_view::npos &&
                     contains_ignoring_case(text, MODULE_PREFIX))
                out.say(problem_kind::no_equals, line.number,
                        "this line looks like a setting but has no '=': the daemon skips it; "
                        "write KEY=value");
            continue;
        }
        const module_setting *setting = find_setting(line.key);
        if (setting == nullptr) {
            if (const module_setting *intended = guess_setting(line.key)) {
                key_lines &entry = lines[intended];
                std::string message = std::string("the key ") + quote(line.key) + " is not " +
                                      intended->key + ": the daemon ignores this line";
                if (entry.taken != 0) {
                    message += " and takes line " + std::to_string(entry.taken);
                } else {
                    message += std::string("; write ") + intended->key +
                               "=value, with nothing before the key and no blanks around it";
                    if (entry.blanked == 0)
                        entry.blanked = line.number;
                }
                out.say(problem_kind::blanked_key, line.number, message);
            } else if (contains_ignoring_case(line.key, MODULE_PREFIX)) {
                out.say(problem_kind::unknown_key, line.number,
                        "unknown key " + quote(trim(line.key)) +
                            ": the daemon ignores this line; did you mean " +
                            find_nearest_key(trim(line.key)) + "?");
            }
            continue;
        }
        std::size_t taken = lines[setting].taken;
        if (line.number != taken) {
            out.say(problem_kind::key_again, line.number,
                    std::string(setting->key) + " is set again: the daemon takes line " +
                        std::to_string(taken) + " and ignores this one; remove one of them");
            continue;
        }
        if (line.quote != std::string_view::npos) {
            std::string_view after = trim(content.substr(line.quote + 1));
            if (!after.empty())
                out.say(problem_kind::text_after_quote, line.number,
                        "the daemon ignores " + quote(after) +
                            " after the last double quote; close the quoted value, or remove "
                            "what follows it");
        }
    }
}

// Why a number or an address that does not parse does not.
std::string explain_unparsed(const module_setting &setting, const char *value)
{
    std::string_view text = value;
    std::size_t digits = text.find_first_not_of(" \t\n\v\f\r+");
    bool too_large = digits != std::string_view::npos && text[digits] >= '0' && text[digits] <= '9';
    if (setting.type == setting_type::number)
        return too_large ? "is above 4294967295, the largest number" : "is not a decimal number";
    return "is not an IPv4 address of four dotted parts, 0 to 255";
}

// A source no host can send from, or a destination that is no other host:
// either way, nothing is relayed. Empty when the address can relay.
std::string explain_unrelayable(const module_setting &setting, ipv4_host address)
{
    if (setting.role == setting_role::source) {
        if (address == 0xFFFFFFFF)
            return "the broadcast address, which no host sends from";
        if (address >> 28 == 0xE)
            return "a multicast group, which no host sends from";
        return "";
    }
    if (setting.role != setting_role::destination)
        return "";
    if (address >> 24 == 0)
        return "in 0.0.0.0/8, which is no host's address, so every send fails";
    if (address >> 24 == 127)
        return "a loopback address: every datagram would come back to the relay itself, which "
               "drops it";
    if (udp_address_is_local(htonl(address)))
        return "one of this host's own addresses: every datagram would come back to the relay "
               "itself, which drops it";
    return "";
}

// Each setting as the daemon loads it.
void check_values(const settings_handle &file, const module_settings &settings, report &out,
                  line_map &lines)
{
    for (const module_setting &setting : MODULE_SETTINGS) {
        std::size_t number = 0;
        const char *value = settings_find(file, setting.key, &number);
        const advice advice = find_advice(setting.role);
        bool required = setting.role != setting_role::unused;
        std::string fix =
            required ? std::string("; write ") + setting.key + "=" + advice.wanted : std::string();
        if (value == nullptr) {
            std::size_t blanked = lines[&setting].blanked;
            if (required)
                out.say(problem_kind::required_missing, blanked,
                        std::string(setting.key) + " is not set" +
                            (blanked != 0 ? " (this line's key is another)" : "") +
                            ": the daemon will " + advice.fallback + fix);
            continue;
        }
        if (setting.type == setting_type::string)
            continue;
        std::uint32_t parsed = 0;
        const char *end = parse(setting, value, parsed);
        if (end == nullptr) {
            std::string message = std::string(setting.key) + ": " + quote(value) + " " +
                                  explain_unparsed(setting, value) + ", so the daemon will use " +
                                  format_value(settings, setting);
            if (required)
                out.say(problem_kind::required_unparsed, number,
                        message.append(" and ").append(advice.fallback).append(fix));
            else
                out.say(problem_kind::unparsed, number, message);
            continue;
        }
        if (std::string_view rest = trim(end); !rest.empty())
            out.say(problem_kind::text_after_value, number,
                    std::string(setting.key) + ": the daemon reads " + quote(value) + " as " +
                        format_value(settings, setting) + " and ignores " + quote(rest) +
                        "; remove it, or correct the value");
        if (!required)
            continue;
        // "KEY is VALUE" and why, then the fix.
        auto say_is = [&](problem_kind kind, std::string_view why) {
            out.say(kind, number,
                    std::string(setting.key)
                        .append(" is ")
                        .append(format_value(settings, setting))
                        .append(why)
                        .append(fix));
        };
        if (parsed == 0 && setting.role == setting_role::source)
            // Written so, it is meant: a host without an address yet, such
            // as a DHCP client, sends from 0.0.0.0.
            out.say(problem_kind::source_any, number,
                    std::string(setting.key) +
                        " is 0.0.0.0: the daemon relays only datagrams from hosts without an "
                        "address, such as a DHCP discovery; if you meant one host, write " +
                        setting.key + "=" + advice.wanted);
        else if (parsed == 0)
            say_is(problem_kind::required_zero,
                   std::string(": the daemon will ") + advice.fallback);
        else if (setting.role == setting_role::port && parsed > 65535)
            say_is(problem_kind::port_above,
                   ", above 65535: the daemon will refuse it and exit with status 1");
        else if (std::string why = explain_unrelayable(setting, parsed); !why.empty())
            say_is(problem_kind::relays_nothing, ", " + why + ": the daemon will relay nothing");
    }
}

// A file that is not text: UTF-16, say, whose every other byte is a NUL at
// which the reader stops, so that it reads no setting at all.
bool is_not_text(const settings_handle &file)
{
    settings_cursor cursor;
    settings_line line{};
    bool nul = false;
    while (settings_next_line(file, cursor, line)) {
        if (line.value != nullptr)
            return false;
        nul = nul || line.nul != std::string_view::npos;
    }
    return nul;
}

// Whether another socket holds port, as the daemon would find it: bound to
// all addresses, without address reuse. A port this process may not bind
// (below 1024, without the capability) is not known to be held.
bool is_port_held(std::uint32_t port)
{
    unique_fd sock(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP));
    sockaddr_in address = to_sockaddr(htonl(INADDR_ANY), static_cast<std::uint16_t>(port));
    return sock &&
           ::bind(sock.get(), reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0 &&
           errno == EADDRINUSE;
}

// A port held for a moment, by a client's socket or a service still
// stopping, is waited out; one held for good fails the start once, with
// the daemon's own words, rather than start after start.
void wait_for_port(const settings_handle &file, const module_settings &settings, unsigned seconds,
                   report &out)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (is_port_held(settings.port)) {
        if (std::chrono::steady_clock::now() >= deadline) {
            std::size_t number = 0;
            settings_find(file, "MOD_OSTRIVO_PORT", &number);
            out.say(problem_kind::port_in_use, number,
                    "MOD_OSTRIVO_PORT is " + std::to_string(settings.port) + ", and still after " +
                        std::to_string(seconds) +
                        " s: bind socket error: " + std::strerror(EADDRINUSE) +
                        ": another program holds the port, and the daemon would exit with "
                        "status 1; stop it, or give the relay another port");
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
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
        problems.say(problem_kind::unreadable, 0,
                     "the daemon cannot read it, so it will run on its defaults and relay "
                     "nothing: " +
                         explain_open_failure(open_error, explain_closed_to_others(path)));
    } else if (is_not_text(file)) {
        problems.say(problem_kind::not_text, 0,
                     "it is UTF-16, or holds NUL bytes throughout, so the daemon reads no "
                     "setting from it and will relay nothing: save it as plain text, ASCII or "
                     "UTF-8 (iconv -f UTF-16 -t UTF-8)");
    } else {
        if (std::string advice = explain_closed_to_others(path); geteuid() == 0 && !advice.empty())
            problems.say(problem_kind::closed_to_user, 0,
                         "root can read it, but the relay's own user, which neither owns it "
                         "nor is in its group, cannot: " +
                             advice);
        line_map lines;
        for (const module_setting &setting : MODULE_SETTINGS)
            settings_find(file, setting.key, &lines[&setting].taken);
        check_lines(file, problems, lines);
        check_values(file, settings, problems, lines);
        if (options.wait_port > 0 && problems.errors == 0)
            wait_for_port(file, settings, options.wait_port, problems);
    }

    if (options.print) {
        // A setting that the file does not give is printed as a comment: so
        // printed, it reads back as the same default.
        for (const module_setting &setting : MODULE_SETTINGS) {
            const char *value = settings_find(file, setting.key);
            std::uint32_t parsed = 0;
            bool taken = value != nullptr && (setting.type == setting_type::string ||
                                              parse(setting, value, parsed) != nullptr);
            std::fprintf(out, taken ? "%s=%s\n" : "# %s=%s (default)\n", setting.key,
                         format_value(settings, setting).c_str());
            if (setting.type == setting_type::string && !is_printable(settings.*setting.text))
                problems.say(problem_kind::unprintable, 0,
                             std::string(setting.key) +
                                 " holds bytes that cannot be printed as they are: -p writes "
                                 "them as \\xNN, so its line cannot be written back as it is");
        }
    }
    problems.print(path, err);
    int status = problems.errors == 0 ? 0 : 1;
    if (!options.quiet || problems.errors + problems.warnings > 0)
        std::fprintf(err, "%s: %u error%s, %u warning%s: the daemon %s relay with it\n", path,
                     problems.errors, problems.errors == 1 ? "" : "s", problems.warnings,
                     problems.warnings == 1 ? "" : "s", status == 0 ? "will" : "will not");
    if (options.print && (std::fflush(out) != 0 || std::ferror(out) != 0)) {
        std::fprintf(err, "%s: cannot write the settings: %s\n", path, std::strerror(errno));
        status = 2;
    }
    settings_close(std::move(file));
    return status;
}
