// The settings check: whether the daemon will relay with a settings file,
// and why not.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "settings/module_settings.h"

// Everything the check can find, the file's own problems first, then the
// lines', then the values'.
enum class check_kind {
    unreadable_missing,
    unreadable_not_regular,
    unreadable_too_large,
    unreadable_denied,
    unreadable_other,
    not_text,
    closed_to_user,
    nul_in_line,
    nul_before_equals,
    cr_in_line,
    quote_before_equals,
    no_equals,
    blanked_key,
    blanked_key_taken,
    unknown_key,
    key_again,
    text_after_quote,
    required_missing,
    required_missing_blanked,
    required_unparsed,
    unparsed,
    text_after_value,
    source_any,
    required_zero,
    port_above,
    source_broadcast,
    source_multicast,
    destination_this_network,
    destination_loopback,
    destination_own,
    port_in_use,
    unprintable,
};
// Whether a kind stops the relay, and the few words that name it in a
// report's "and N more like the above" and in the manual page.
struct check_kind_info {
    bool error;
    const char *summary;
};
check_kind_info check_describe(check_kind kind);
constexpr std::size_t CHECK_KIND_COUNT = static_cast<std::size_t>(check_kind::unprintable) + 1;

struct check_finding {
    check_kind kind;
    std::size_t line;              // 0: the file as a whole
    const module_setting *setting; // the setting it is about, if any
    std::string text;              // the file's own text it is about, if any
    std::string detail;            // a further word: the key meant, a reason
    std::size_t other_line = 0;    // the line the daemon takes instead
};

struct check_options {
    bool quiet = false; // say nothing when there is nothing to say
    bool print = false; // the settings as the daemon will use them, on out
    // Where the settings can relay, wait up to this many seconds for the
    // port to be free, as the daemon will bind it; 0: leave the port alone.
    unsigned wait_port = 0;
};
struct check_report {
    module_settings settings; // as the daemon loads them
    // For each of MODULE_SETTINGS, whether the daemon takes it from the file
    // rather than by default.
    bool given[MODULE_SETTINGS.size()] = {};
    std::size_t line[MODULE_SETTINGS.size()] = {}; // the line it is taken from, 0: none
    std::vector<check_finding> findings;           // in the order found
};
// Reads the settings file at path as the daemon reads it, and finds every
// line and value that does not say what its writer meant.
check_report check_file(const char *path, unsigned wait_port);
// Reports check_file's findings on err, one line each, in the file's order:
// errors where the daemon would not relay, warnings where it would, but not
// as written. Returns 0 when it would relay, 1 when not, 2 when -p's output
// could not be written.
int check_settings(const char *path, check_options options, std::FILE *out, std::FILE *err);
