// What the relay daemon and its settings check share: the module's settings,
// how they are loaded, and the check of a settings file.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>

#include "settings/settings.h"

// "/opt/Ostrivo/etc/settings".
extern const char *const SETTINGS_PATH;

struct module_settings {
    std::uint32_t enabled = 0; // loaded, but relaying does not depend on it
    ipv4_host src_ipaddr = 0;
    ipv4_host dst_ipaddr = 0;
    std::uint32_t port = 0;
    ipv4_host ftp_ipaddr = 0;
    std::string domain;
    ipv4_host dns_ipaddr1 = 0;
    ipv4_host dns_ipaddr2 = 0;
    ipv4_host dns_ipaddr3 = 0;
};

enum class setting_type { number, address, string };
struct module_setting {
    const char *key;
    setting_type type;
    std::uint32_t module_settings::*number; // a number's or an address's field
    std::string module_settings::*text;     // a string's field
    // Only for the three the relay needs: what the daemon does with the
    // default, and what to write instead.
    const char *fallback = nullptr;
    const char *wanted = nullptr;
};
// Every setting, in the record's order: the one list of keys and types.
// Each defaults to 0, 0.0.0.0 or the empty string.
extern const std::array<module_setting, 9> MODULE_SETTINGS;

// A file that cannot be read leaves every setting at its default, silently.
void load_module_settings(module_settings &settings);
void load_module_settings(module_settings &settings, const settings_handle &file);

struct check_options {
    bool quiet = false; // say nothing when there is nothing to say
    bool print = false; // the settings as the daemon will use them, on out
    // Where the settings can relay, wait up to this many seconds for the
    // port to be free, as the daemon will bind it; 0: leave the port alone.
    unsigned wait_port = 0;
};
// Reads the settings file at path as the daemon does and reports, on err,
// every problem: errors where the daemon would not relay, warnings where it
// would, but not as written. Returns 0 when it would relay, else 1.
int check_settings(const char *path, check_options options, std::FILE *out, std::FILE *err);
