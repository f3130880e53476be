// The settings check: the daemon's own reader and loading, and a word for
// every line that does not say what its writer meant.

#include "check/check.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <iterator>
#include <span>
#include <string_view>
#include <thread>
#include <utility>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "net/net.h"

namespace {

// What each kind says. A message and the fix after it may name
// {key}, the setting; {text}, the file's text, quoted; {value}, the
// setting's value as the daemon loads it; {detail}; {line}, the line taken
// instead; and for the three settings the relay needs, {fallback}, what the
// daemon does without them, and {wanted}, what to write.
struct kind_text {
    bool error;
    const char *summary;
    const char *message;
    const char *fix; // with its "; " or ": "; null: the message says it all
};
#define UNREAD "the daemon cannot read it, so it will run on its defaults and relay nothing: "
constexpr const char *WRITE = "; write {key}={wanted}";
constexpr kind_text KINDS[] = {
    {true, "a missing file", UNREAD "No such file or directory",
     ": write it, from /opt/Ostrivo/etc/settings.example"},
    {true, "not a regular file", UNREAD "it is not a regular file", ": replace it with one"},
    {true, "a file larger than 1 MiB", UNREAD "it is larger than 1 MiB, which no settings file is",
     ": replace it"},
    {true, "a file the daemon may not read", UNREAD "Permission denied", ": {detail}"},
    {true, "an unreadable file", UNREAD "{detail}", ": make it a file the daemon can read"},
    {true, "not text",
     "it is UTF-16, or holds NUL bytes throughout, so the daemon reads no setting from it and "
     "will relay nothing",
     ": save it as plain text, ASCII or UTF-8 (iconv -f UTF-16 -t UTF-8)"},
    {false, "a file closed to the relay's user",
     "root can read it, but the relay's own user, which neither owns it nor is in its group, "
     "cannot",
     ": {detail}"},
    {false, "a NUL byte in a line",
     "a NUL byte stands in this line: the daemon reads it only up to there and ignores what "
     "follows, {text}",
     "; remove the NUL byte"},
    {false, "a NUL byte before '='",
     "a NUL byte stands before this line's '=': the daemon reads the line only up to it, so it "
     "skips the line",
     "; remove the NUL byte"},
    {false, "a CR inside a line",
     "a CR stands inside this line: the daemon reads a line only up to its first CR, so what "
     "follows is lost",
     "; save the file with LF (or CR LF) line ends"},
    {false, "a quote before '='",
     "the last double quote on this line stands before its '=': the daemon ends the line there "
     "and skips it",
     "; write KEY=value or KEY=\"value\", with no quote around the key"},
    {false, "a setting without '='",
     "this line looks like a setting but has no '=': the daemon skips it", "; write KEY=value"},
    {false, "a key with blanks or a word around it",
     "the key {text} is not {key}: the daemon ignores this line",
     "; write {key}=value, with nothing before the key and no blanks around it"},
    {false, "a key with blanks or a word around it, set on another line too",
     "the key {text} is not {key}: the daemon ignores this line and takes line {line}", nullptr},
    {false, "an unknown key", "unknown key {text}: the daemon ignores this line",
     "; did you mean {detail}?"},
    {false, "a key set again",
     "{key} is set again: the daemon takes line {line} and ignores this one",
     "; remove one of them"},
    {false, "text after the last double quote",
     "the daemon ignores {text} after the last double quote",
     "; close the quoted value, or remove what follows it"},
    {true, "a required setting not set", "{key} is not set: the daemon will {fallback}", WRITE},
    {true, "a required setting whose key has blanks or a word around it",
     "{key} is not set (this line's key is another): the daemon will {fallback}", WRITE},
    {true, "a required value that does not parse",
     "{key}: {text} {detail}, so the daemon will use {value} and {fallback}", WRITE},
    {false, "a value that does not parse", "{key}: {text} {detail}, so the daemon will use {value}",
     nullptr},
    {false, "text after a value", "{key}: the daemon reads {text} as {value} and ignores {detail}",
     "; remove it, or correct the value"},
    // Written so, it is meant: a host without an address yet, such as a
    // DHCP client, sends from 0.0.0.0.
    {false, "a source of 0.0.0.0",
     "{key} is 0.0.0.0: the daemon relays only datagrams from hosts without an address, such as "
     "a DHCP discovery",
     "; if you meant one host, write {key}={wanted}"},
    {true, "a required value of 0", "{key} is {value}: the daemon will {fallback}", WRITE},
    {true, "a port above 65535",
     "{key} is {value}, above 65535: the daemon will refuse it and exit with status 1", WRITE},
    {true, "a source of 255.255.255.255",
     "{key} is {value}, the broadcast address, which no host sends from: the daemon will relay "
     "nothing",
     WRITE},
    {true, "a multicast source",
     "{key} is {value}, a multicast group, which no host sends from: the daemon will relay "
     "nothing",
     WRITE},
    {true, "a destination in 0.0.0.0/8",
     "{key} is {value}, in 0.0.0.0/8, which is no host's address, so every send fails: the "
     "daemon will relay nothing",
     WRITE},
    {true, "a loopback destination",
     "{key} is {value}, a loopback address: every datagram would come back to the relay "
     "itself, which drops it: the daemon will relay nothing",
     WRITE},
    {true, "a destination that is this host",
     "{key} is {value}, one of this host's own addresses: every datagram would come back to the "
     "relay itself, which drops it: the daemon will relay nothing",
     WRITE},
    {true, "a port in use",
     "{key} is {value}, and still after {detail} s: bind socket error: Address already in use: "
     "another program holds the port, and the daemon would exit with status 1",
     "; stop it, or give the relay another port"},
    {false, "a value that cannot be printed",
     "{key} holds bytes that cannot be printed as they are: -p writes them as \\xNN, so its line "
     "cannot be written back as it is",
     nullptr},
};
#undef UNREAD
static_assert(std::size(KINDS) == CHECK_KIND_COUNT);

const kind_text &text_of(check_kind kind)
{
    return KINDS[static_cast<std::size_t>(kind)];
}

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
    return {"", ""};
}

constexpr std::string_view MODULE_PREFIX = "MOD_OSTRIVO_";
constexpr std::string_view BLANKS = " \t\v\f\r";
// A file of a thousand broken lines says the same thing a thousand times:
// this many messages of one kind are enough, then how many more there were.
constexpr unsigned MESSAGES_PER_KIND = 20;

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

std::string format_value(const module_settings &settings, const module_setting &setting)
{
    switch (setting.type) {
    case setting_type::number:
        return std::to_string(settings.*setting.number);
    case setting_type::address: {
        ipv4_host address = settings.*setting.number;
        return std::to_string(address >> 24) + "." + std::to_string(address >> 16 & 0xFF) + "." +
               std::to_string(address >> 8 & 0xFF) + "." + std::to_string(address & 0xFF);
    }
    case setting_type::string:
        break;
    }
    // Quoted as the file may quote it, so that the printed line reads back
    // as the same value.
    return "\"" + escape(settings.*setting.text, false) + "\"";
}

// A finding in words, its fix after the message.
std::string render(const check_finding &finding, const module_settings &settings)
{
    const kind_text &kind = text_of(finding.kind);
    advice advice = finding.setting != nullptr ? find_advice(finding.setting->role)
                                               : find_advice(setting_role::unused);
    std::string out;
    auto expand = [&](std::string_view words) {
        for (std::size_t open; (open = words.find('{')) != std::string_view::npos;) {
            std::size_t close = words.find('}', open);
            std::string_view name = words.substr(open + 1, close - open - 1);
            out.append(words.substr(0, open));
            words.remove_prefix(close + 1);
            if (name == "key")
                out += finding.setting->key;
            else if (name == "text")
                out += quote(finding.text);
            else if (name == "value")
                out += format_value(settings, *finding.setting);
            else if (name == "detail")
                out += finding.detail;
            else if (name == "line")
                out += std::to_string(finding.other_line);
            else if (name == "fallback")
                out += advice.fallback;
            else if (name == "wanted")
                out += advice.wanted;
        }
        out.append(words);
    };
    expand(kind.message);
    if (kind.fix != nullptr)
        expand(kind.fix);
    return out;
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

check_finding find_unreadable(int error, const char *path)
{
    switch (error) {
    case ENOENT:
        return {check_kind::unreadable_missing, 0, nullptr, "", ""};
    case EINVAL:
        return {check_kind::unreadable_not_regular, 0, nullptr, "", ""};
    case EFBIG:
        return {check_kind::unreadable_too_large, 0, nullptr, "", ""};
    case EACCES: {
        std::string advice = explain_closed_to_others(path);
        return {check_kind::unreadable_denied, 0, nullptr, "",
                advice.empty() ? "make it readable by the relay's user" : advice};
    }
    default:
        return {check_kind::unreadable_other, 0, nullptr, "", std::strerror(error)};
    }
}

// A number's or an address's value read as the daemon's getter reads it:
// where it ends, or null when it does not parse.
const char *parse(const module_setting &setting, const char *value, std::uint32_t &parsed)
{
    return setting.type == setting_type::number ? settings_parse_uint(value, parsed)
                                                : settings_parse_ipaddr(value, parsed);
}

// Why a number or an address that does not parse does not.
const char *explain_unparsed(const module_setting &setting, std::string_view value)
{
    if (setting.type != setting_type::number)
        return "is not an IPv4 address of four dotted parts, 0 to 255";
    std::size_t digits = value.find_first_not_of(" \t\n\v\f\r+");
    bool too_large =
        digits != std::string_view::npos && value[digits] >= '0' && value[digits] <= '9';
    return too_large ? "is above 4294967295, the largest number" : "is not a decimal number";
}

// What the daemon takes of each setting: the line (0: none), its value, and
// the first line that meant it but has blanks or a word around its key.
struct taken_setting {
    std::size_t line = 0;
    std::string value;
    std::size_t blanked = 0;
};
using taken_settings = std::array<taken_setting, MODULE_SETTINGS.size()>;

std::size_t index_of(const module_setting &setting)
{
    return static_cast<std::size_t>(&setting - MODULE_SETTINGS.data());
}

// One line, from what the reader did to it: the keys and text the daemon
// will not see as written.
void find_in_line(const settings_line &line, taken_settings &taken,
                  std::vector<check_finding> &found)
{
    auto add = [&](check_kind kind, const module_setting *setting = nullptr,
                   std::string_view text = {}, std::string detail = {}) {
        found.push_back({kind, line.number, setting, std::string(text), std::move(detail)});
    };
    std::string_view quoted;
    bool nul = false;
    for (const settings_finding &cut : std::span(line.findings, line.finding_count)) {
        if (cut.kind == settings_cut::nul) {
            nul = true;
            if (cut.span.find_first_not_of(std::string_view("\0\r", 2)) == std::string_view::npos)
                continue;
            std::string_view lost = cut.span.substr(1);
            if (line.value == nullptr && lost.find('=') != std::string_view::npos)
                add(check_kind::nul_before_equals);
            else
                add(check_kind::nul_in_line, nullptr, lost);
        } else if (cut.kind == settings_cut::cr) {
            if (cut.span.find_first_not_of('\r') != std::string_view::npos)
                add(check_kind::cr_in_line);
        } else {
            quoted = cut.span;
        }
    }
    if (line.value == nullptr) {
        if (quoted.find('=') != std::string_view::npos)
            add(check_kind::quote_before_equals);
        else if (!nul && contains_ignoring_case(line.text, MODULE_PREFIX))
            add(check_kind::no_equals);
        return;
    }
    const module_setting *setting = find_setting(line.key);
    if (setting == nullptr) {
        if (const module_setting *intended = guess_setting(line.key))
            add(check_kind::blanked_key, intended, line.key);
        else if (contains_ignoring_case(line.key, MODULE_PREFIX))
            add(check_kind::unknown_key, nullptr, trim(line.key), find_nearest_key(trim(line.key)));
        return;
    }
    taken_setting &entry = taken[index_of(*setting)];
    if (entry.line != 0) {
        add(check_kind::key_again, setting);
        found.back().other_line = entry.line;
        return;
    }
    entry.line = line.number;
    entry.value = line.value;
    if (std::string_view after = trim(quoted.substr(std::min<std::size_t>(1, quoted.size())));
        !after.empty())
        add(check_kind::text_after_quote, nullptr, after);
}

// What a value the daemon can parse means for the relay, if anything.
bool judge_value(const module_setting &setting, ipv4_host parsed, check_kind &kind)
{
    bool source = setting.role == setting_role::source;
    bool destination = setting.role == setting_role::destination;
    if (parsed == 0)
        kind = source ? check_kind::source_any : check_kind::required_zero;
    else if (setting.role == setting_role::port && parsed > 65535)
        kind = check_kind::port_above;
    else if (source && parsed == 0xFFFFFFFF)
        kind = check_kind::source_broadcast;
    else if (source && parsed >> 28 == 0xE)
        kind = check_kind::source_multicast;
    else if (destination && parsed >> 24 == 0)
        kind = check_kind::destination_this_network;
    else if (destination && parsed >> 24 == 127)
        kind = check_kind::destination_loopback;
    else if (destination && udp_address_is_local(htonl(parsed)))
        kind = check_kind::destination_own;
    else
        return false;
    return true;
}

// Each setting as the daemon loads it.
void find_in_values(const taken_settings &taken, check_report &report)
{
    for (const module_setting &setting : MODULE_SETTINGS) {
        const taken_setting &entry = taken[index_of(setting)];
        bool required = setting.role != setting_role::unused;
        auto add = [&](check_kind kind, std::string detail = {}) {
            report.findings.push_back({kind, entry.line, &setting, entry.value, std::move(detail)});
        };
        if (entry.line == 0) {
            if (required)
                report.findings.push_back({entry.blanked != 0 ? check_kind::required_missing_blanked
                                                              : check_kind::required_missing,
                                           entry.blanked, &setting, "", ""});
            continue;
        }
        std::uint32_t parsed = 0;
        const char *end = setting.type == setting_type::string
                              ? entry.value.c_str()
                              : parse(setting, entry.value.c_str(), parsed);
        report.given[index_of(setting)] = end != nullptr;
        if (setting.type == setting_type::string)
            continue;
        if (end == nullptr) {
            add(required ? check_kind::required_unparsed : check_kind::unparsed,
                explain_unparsed(setting, entry.value));
            continue;
        }
        if (std::string_view rest = trim(end); !rest.empty())
            add(check_kind::text_after_value, quote(rest));
        if (check_kind kind{}; required && judge_value(setting, parsed, kind))
            add(kind);
    }
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

bool has_errors(const std::vector<check_finding> &findings)
{
    return std::any_of(findings.begin(), findings.end(),
                       [](const check_finding &each) { return text_of(each.kind).error; });
}

} // namespace

check_kind_info check_describe(check_kind kind)
{
    return {text_of(kind).error, text_of(kind).summary};
}

check_report check_file(const char *path, unsigned wait_port)
{
    check_report report;
    settings_handle file = settings_open(path, "r");
    if (!file) {
        report.findings.push_back(find_unreadable(errno, path));
        return report;
    }
    load_module_settings(report.settings, file);
    if (geteuid() == 0)
        if (std::string advice = explain_closed_to_others(path); !advice.empty())
            report.findings.push_back({check_kind::closed_to_user, 0, nullptr, "", advice});

    // One walk through the lines. A file that is not text, UTF-16 say,
    // whose every other byte is a NUL at which the reader stops, reads no
    // setting at all: that one finding says it all.
    taken_settings taken;
    settings_cursor cursor;
    settings_line line{};
    bool any_value = false, any_nul = false;
    std::size_t first = report.findings.size();
    while (settings_next_line(file, cursor, line)) {
        any_value = any_value || line.value != nullptr;
        any_nul = any_nul || (line.finding_count > 0 && line.findings[0].kind == settings_cut::nul);
        // A line whose first non-blank is '#' is the operator's comment.
        if (!trim(line.text).starts_with('#'))
            find_in_line(line, taken, report.findings);
    }
    settings_close(std::move(file));
    if (!any_value && any_nul) {
        report.findings = {{check_kind::not_text, 0, nullptr, "", ""}};
        return report;
    }
    // A blanked key's words depend on whether its setting is taken at all,
    // on a line before or after it.
    for (std::size_t at = first; at < report.findings.size(); ++at) {
        check_finding &each = report.findings[at];
        if (each.kind != check_kind::blanked_key)
            continue;
        taken_setting &entry = taken[index_of(*each.setting)];
        if (entry.line != 0) {
            each.kind = check_kind::blanked_key_taken;
            each.other_line = entry.line;
        } else if (entry.blanked == 0) {
            entry.blanked = each.line;
        }
    }
    find_in_values(taken, report);

    // A port held for a moment, by a client's socket or a service still
    // stopping, is waited out; one held for good fails the start once, with
    // the daemon's own words, rather than start after start.
    if (wait_port == 0 || has_errors(report.findings))
        return report;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(wait_port);
    while (is_port_held(report.settings.port)) {
        if (std::chrono::steady_clock::now() >= deadline) {
            const module_setting &port = *std::find_if(
                MODULE_SETTINGS.begin(), MODULE_SETTINGS.end(),
                [](const module_setting &each) { return each.role == setting_role::port; });
            report.findings.push_back({check_kind::port_in_use, taken[index_of(port)].line, &port,
                                       "", std::to_string(wait_port)});
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return report;
}

int check_settings(const char *path, check_options options, std::FILE *out, std::FILE *err)
{
    check_report report = check_file(path, options.wait_port);
    std::vector<check_finding> &findings = report.findings;
    if (options.print) {
        // A setting that the file does not give is printed as a comment: so
        // printed, it reads back as the same default.
        for (const module_setting &setting : MODULE_SETTINGS) {
            std::fprintf(out, report.given[index_of(setting)] ? "%s=%s\n" : "# %s=%s (default)\n",
                         setting.key, format_value(report.settings, setting).c_str());
            if (setting.type == setting_type::string &&
                escape(report.settings.*setting.text, false) != report.settings.*setting.text)
                findings.push_back({check_kind::unprintable, 0, &setting, "", ""});
        }
    }

    // The first few of each kind, in the file's order, the file's own
    // first; then what was left out.
    unsigned said[CHECK_KIND_COUNT] = {}, errors = 0, warnings = 0;
    std::vector<const check_finding *> shown;
    for (const check_finding &each : findings) {
        ++(text_of(each.kind).error ? errors : warnings);
        if (++said[static_cast<std::size_t>(each.kind)] <= MESSAGES_PER_KIND)
            shown.push_back(&each);
    }
    std::stable_sort(
        shown.begin(), shown.end(),
        [](const check_finding *a, const check_finding *b) { return a->line < b->line; });
    for (const check_finding *each : shown) {
        std::string where = each->line > 0 ? ":" + std::to_string(each->line) : "";
        std::fprintf(err, "%s%s: %s: %s\n", path, where.c_str(),
                     text_of(each->kind).error ? "error" : "warning",
                     render(*each, report.settings).c_str());
    }
    for (std::size_t kind = 0; kind < CHECK_KIND_COUNT; ++kind)
        if (said[kind] > MESSAGES_PER_KIND)
            std::fprintf(err, "%s: and %u more like the above: %s\n", path,
                         said[kind] - MESSAGES_PER_KIND, KINDS[kind].summary);

    int status = errors == 0 ? 0 : 1;
    if (!options.quiet || errors + warnings > 0)
        std::fprintf(err, "%s: %u error%s, %u warning%s: the daemon %s relay with it\n", path,
                     errors, errors == 1 ? "" : "s", warnings, warnings == 1 ? "" : "s",
                     status == 0 ? "will" : "will not");
    if (options.print && (std::fflush(out) != 0 || std::ferror(out) != 0)) {
        std::fprintf(err, "%s: cannot write the settings: %s\n", path, std::strerror(errno));
        status = 2;
    }
    return status;
}
