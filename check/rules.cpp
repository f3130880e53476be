// The check's rules: the settings file read by the daemon's own reader and
// loaded as the daemon loads it, and a finding for every line and value that
// does not say what its writer meant.

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <span>
#include <utility>

#include "check/internal.h"

namespace {

constexpr std::string_view MODULE_PREFIX = "MOD_OSTRIVO_";
constexpr std::string_view BLANKS = " \t\v\f\r";

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
    key = check_trim(key);
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
        std::string advice = check_closed_to_others(path);
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
            add(check_kind::unknown_key, nullptr, check_trim(line.key),
                find_nearest_key(check_trim(line.key)));
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
    if (std::string_view after = check_trim(quoted.substr(std::min<std::size_t>(1, quoted.size())));
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
    else if (destination && check_address_is_own(parsed))
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
        report.line[index_of(setting)] = entry.line;
        if (setting.type == setting_type::string)
            continue;
        if (end == nullptr) {
            add(required ? check_kind::required_unparsed : check_kind::unparsed,
                explain_unparsed(setting, entry.value));
            continue;
        }
        if (std::string_view rest = check_trim(end); !rest.empty())
            add(check_kind::text_after_value, check_quote(rest));
        if (check_kind kind{}; required && judge_value(setting, parsed, kind))
            add(kind);
    }
}

} // namespace

std::string_view check_trim(std::string_view text)
{
    std::size_t first = text.find_first_not_of(BLANKS);
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(BLANKS) - first + 1);
}

check_report check_rules(const char *path)
{
    check_report report;
    settings_handle file = settings_open(path, "r");
    if (!file) {
        report.findings.push_back(find_unreadable(errno, path));
        return report;
    }
    load_module_settings(report.settings, file);
    if (geteuid() == 0)
        if (std::string advice = check_closed_to_others(path); !advice.empty())
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
        if (!check_trim(line.text).starts_with('#'))
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

    return report;
}
