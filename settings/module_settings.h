// The module's settings, the one schema of keys and types that the daemon,
// its check and its launcher share, and how they are loaded.
#pragma once

#include <array>
#include <cstdint>
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
// What the relay does with a setting: the three it needs, and the rest.
enum class setting_role { source, destination, port, unused };
struct module_setting {
    const char *key;
    setting_type type;
    setting_role role;
    std::uint32_t module_settings::*number; // a number's or an address's field
    std::string module_settings::*text;     // a string's field
};
// Every setting, in the record's order: the one list of keys and types.
// Each defaults to 0, 0.0.0.0 or the empty string.
extern const std::array<module_setting, 9> MODULE_SETTINGS;

// Opens, loads and closes the file at path; one that cannot be read leaves
// every setting at its default, silently.
void load_module_settings(module_settings &settings, const char *path = SETTINGS_PATH);
// From a file already open, whose lines the check then walks.
void load_module_settings(module_settings &settings, const settings_handle &file);
