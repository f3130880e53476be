// The check's report: each finding in words, the file's line before it, at
// most a few of each kind, then the count; and -p's settings. Every message
// is formatted by a call the compiler checks against its arguments.

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <iterator>
#include <vector>

#include "check/internal.h"
#include "net/log.h"

namespace {

// Whether each kind stops the relay, and the few words that name it when
// more of it are left out, in check_kind's order.
constexpr check_kind_info KINDS[] = {
    {true, "a missing file"},
    {true, "not a regular file"},
    {true, "a file larger than 1 MiB"},
    {true, "a file the daemon may not read"},
    {true, "an unreadable file"},
    {true, "not text"},
    {false, "a file closed to the relay's user"},
    {false, "a NUL byte in a line"},
    {false, "a NUL byte before '='"},
    {false, "a CR inside a line"},
    {false, "a quote before '='"},
    {false, "a setting without '='"},
    {false, "a key with blanks or a word around it"},
    {false, "a key with blanks or a word around it, set on another line too"},
    {false, "an unknown key"},
    {false, "a key set again"},
    {false, "text after the last double quote"},
    {true, "a required setting not set"},
    {true, "a required setting whose key has blanks or a word around it"},
    {true, "a required value that does not parse"},
    {false, "a value that does not parse"},
    {false, "text after a value"},
    {false, "a source of 0.0.0.0"},
    {true, "a required value of 0"},
    {true, "a port above 65535"},
    {true, "a source of 255.255.255.255"},
    {true, "a multicast source"},
    {true, "a destination in 0.0.0.0/8"},
    {true, "a loopback destination"},
    {true, "a destination that is this host"},
    {true, "a port in use"},
    {false, "a value that cannot be printed"},
};
static_assert(std::size(KINDS) == CHECK_KIND_COUNT);
static_assert(SETTINGS_SIZE_LIMIT == 1 << 20, "the words say 1 MiB");

// A file of a thousand broken lines says the same thing a thousand times:
// this many messages of one kind are enough, then how many more there were.
constexpr unsigned MESSAGES_PER_KIND = 20;

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
    return "\"" + check_escape(settings.*setting.text, false) + "\"";
}

// printf-style, as log_write is, so that the compiler checks each message
// against its format.
// NOLINTNEXTLINE(cert-dcl50-cpp)
__attribute__((format(printf, 1, 2))) std::string say(const char *format, ...)
{
    std::va_list arguments;
    va_start(arguments, format);
    int size = std::vsnprintf(nullptr, 0, format, arguments);
    va_end(arguments);
    std::string out(size > 0 ? static_cast<std::size_t>(size) : 0, '\0');
    va_start(arguments, format);
    std::vsnprintf(out.data(), out.size() + 1, format, arguments);
    va_end(arguments);
    return out;
}

// A finding in words, its fix after the message.
std::string render(const check_finding &finding, const module_settings &settings)
{
    const module_setting *setting = finding.setting;
    const char *key = setting != nullptr ? setting->key : "";
    std::string value = setting != nullptr ? format_value(settings, *setting) : "";
    std::string text = check_quote(finding.text);
    const char *detail = finding.detail.c_str();
    advice advice = find_advice(setting != nullptr ? setting->role : setting_role::unused);
    const char *bind_name = FAILED_CALL_NAMES[static_cast<std::size_t>(failed_call::bind_socket)];
    // A value the relay can do nothing with, and why.
    auto relays_nothing = [&](const char *why) {
        return say("%s is %s, %s: the daemon will relay nothing; write %s=%s", key, value.c_str(),
                   why, key, advice.wanted);
    };
#define UNREAD "the daemon cannot read it, so it will run on its defaults and relay nothing: "
    using enum check_kind;
    switch (finding.kind) {
    case unreadable_missing:
        return say(UNREAD "%s: write it, from %s.example", std::strerror(ENOENT), SETTINGS_PATH);
    case unreadable_not_regular:
        return say(UNREAD "it is not a regular file: replace it with one");
    case unreadable_too_large:
        return say(UNREAD "it is larger than %zu MiB, which no settings file is: replace it",
                   SETTINGS_SIZE_LIMIT >> 20);
    case unreadable_denied:
        return say(UNREAD "%s: %s", std::strerror(EACCES), detail);
    case unreadable_other:
        return say(UNREAD "%s: make it a file the daemon can read", detail);
    case not_text:
        return say("it is UTF-16, or holds NUL bytes throughout, so the daemon reads no setting "
                   "from it and will relay nothing: save it as plain text, ASCII or UTF-8 (iconv "
                   "-f UTF-16 -t UTF-8)");
    case closed_to_user:
        return say("root can read it, but the relay's own user, which neither owns it nor is in "
                   "its group, cannot: %s",
                   detail);
    case nul_in_line:
        return say("a NUL byte stands in this line: the daemon reads it only up to there and "
                   "ignores what follows, %s; remove the NUL byte",
                   text.c_str());
    case nul_before_equals:
        return say("a NUL byte stands before this line's '=': the daemon reads the line only up "
                   "to it, so it skips the line; remove the NUL byte");
    case cr_in_line:
        return say("a CR stands inside this line: the daemon reads a line only up to its first "
                   "CR, so what follows is lost; save the file with LF (or CR LF) line ends");
    case quote_before_equals:
        return say("the last double quote on this line stands before its '=': the daemon ends "
                   "the line there and skips it; write KEY=value or KEY=\"value\", with no "
                   "quote around the key");
    case no_equals:
        return say("this line looks like a setting but has no '=': the daemon skips it; write "
                   "KEY=value");
    case blanked_key:
        return say("the key %s is not %s: the daemon ignores this line; write %s=value, with "
                   "nothing before the key and no blanks around it",
                   text.c_str(), key, key);
    case blanked_key_taken:
        return say("the key %s is not %s: the daemon ignores this line and takes line %zu",
                   text.c_str(), key, finding.other_line);
    case unknown_key:
        return say("unknown key %s: the daemon ignores this line; did you mean %s?", text.c_str(),
                   detail);
    case key_again:
        return say("%s is set again: the daemon takes line %zu and ignores this one; remove one "
                   "of them",
                   key, finding.other_line);
    case text_after_quote:
        return say("the daemon ignores %s after the last double quote; close the quoted value, or "
                   "remove what follows it",
                   text.c_str());
    case required_missing:
        return say("%s is not set: the daemon will %s; write %s=%s", key, advice.fallback, key,
                   advice.wanted);
    case required_missing_blanked:
        return say("%s is not set (this line's key is another): the daemon will %s; write %s=%s",
                   key, advice.fallback, key, advice.wanted);
    case required_unparsed:
        return say("%s: %s %s, so the daemon will use %s and %s; write %s=%s", key, text.c_str(),
                   detail, value.c_str(), advice.fallback, key, advice.wanted);
    case unparsed:
        return say("%s: %s %s, so the daemon will use %s", key, text.c_str(), detail,
                   value.c_str());
    case text_after_value:
        return say("%s: the daemon reads %s as %s and ignores %s; remove it, or correct the value",
                   key, text.c_str(), value.c_str(), detail);
    // Written so, it is meant: a host without an address yet, such as a
    // DHCP client, sends from 0.0.0.0.
    case source_any:
        return say("%s is 0.0.0.0: the daemon relays only datagrams from hosts without an "
                   "address, such as a DHCP discovery; if you meant one host, write %s=%s",
                   key, key, advice.wanted);
    case required_zero:
        return say("%s is %s: the daemon will %s; write %s=%s", key, value.c_str(), advice.fallback,
                   key, advice.wanted);
    case port_above:
        return say("%s is %s, above 65535: the daemon will refuse it and exit with status 1; "
                   "write %s=%s",
                   key, value.c_str(), key, advice.wanted);
    case source_broadcast:
        return relays_nothing("the broadcast address, which no host sends from");
    case source_multicast:
        return relays_nothing("a multicast group, which no host sends from");
    case destination_this_network:
        return relays_nothing("in 0.0.0.0/8, which is no host's address, so every send fails");
    case destination_loopback:
        return relays_nothing("a loopback address: every datagram would come back to the relay "
                              "itself, which drops it");
    case destination_own:
        return relays_nothing("one of this host's own addresses: every datagram would come back "
                              "to the relay itself, which drops it");
    case port_in_use:
        return say("%s is %s, and still after %s s: %s error: %s: another program holds the "
                   "port, and the daemon would exit with status 1; stop it, or give the relay "
                   "another port",
                   key, value.c_str(), detail, bind_name, std::strerror(EADDRINUSE));
    case unprintable:
        return say("%s holds bytes that cannot be printed as they are: -p writes them as \\xNN, "
                   "so its line cannot be written back as it is",
                   key);
    }
#undef UNREAD
    return "";
}

} // namespace

check_kind_info check_describe(check_kind kind)
{
    return KINDS[static_cast<std::size_t>(kind)];
}

std::string check_escape(std::string_view text, bool escape_quotes)
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

std::string check_quote(std::string_view text)
{
    return "\"" + check_escape(text, true) + "\"";
}

int check_settings(const char *path, check_options options, std::FILE *out, std::FILE *err)
{
    check_report report = check_file(path, options.wait_port);
    std::vector<check_finding> &findings = report.findings;
    if (options.print) {
        // A setting that the file does not give is printed as a comment: so
        // printed, it reads back as the same default.
        for (const module_setting &setting : MODULE_SETTINGS) {
            std::fprintf(out,
                         report.given[&setting - MODULE_SETTINGS.data()] ? "%s=%s\n"
                                                                         : "# %s=%s (default)\n",
                         setting.key, format_value(report.settings, setting).c_str());
            if (setting.type == setting_type::string &&
                check_escape(report.settings.*setting.text, false) != report.settings.*setting.text)
                findings.push_back({check_kind::unprintable, 0, &setting, "", ""});
        }
    }

    // The first few of each kind, in the file's order, the file's own
    // first; then what was left out.
    unsigned said[CHECK_KIND_COUNT] = {}, errors = 0, warnings = 0;
    std::vector<const check_finding *> shown;
    for (const check_finding &each : findings) {
        ++(KINDS[static_cast<std::size_t>(each.kind)].error ? errors : warnings);
        if (++said[static_cast<std::size_t>(each.kind)] <= MESSAGES_PER_KIND)
            shown.push_back(&each);
    }
    std::stable_sort(
        shown.begin(), shown.end(),
        [](const check_finding *a, const check_finding *b) { return a->line < b->line; });
    for (const check_finding *each : shown) {
        std::string where = each->line > 0 ? ":" + std::to_string(each->line) : "";
        std::fprintf(err, "%s%s: %s: %s\n", path, where.c_str(),
                     KINDS[static_cast<std::size_t>(each->kind)].error ? "error" : "warning",
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
