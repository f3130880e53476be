#include "settings/module_settings.h"

#include <utility>

const char *const SETTINGS_PATH = OSTRIVO_SETTINGS_PATH;

const std::array<module_setting, 9> MODULE_SETTINGS = {{
    {"MOD_OSTRIVO_ENABLED", setting_type::number, setting_role::unused, &module_settings::enabled,
     nullptr},
    {"MOD_OSTRIVO_SRC_IPADDR", setting_type::address, setting_role::source,
     &module_settings::src_ipaddr, nullptr},
    {"MOD_OSTRIVO_DST_IPADDR", setting_type::address, setting_role::destination,
     &module_settings::dst_ipaddr, nullptr},
    {"MOD_OSTRIVO_PORT", setting_type::number, setting_role::port, &module_settings::port, nullptr},
    {"MOD_OSTRIVO_FTP_IPADDR", setting_type::address, setting_role::unused,
     &module_settings::ftp_ipaddr, nullptr},
    {"MOD_OSTRIVO_DOMAIN", setting_type::string, setting_role::unused, nullptr,
     &module_settings::domain},
    {"MOD_OSTRIVO_DNS_IPADDR1", setting_type::address, setting_role::unused,
     &module_settings::dns_ipaddr1, nullptr},
    {"MOD_OSTRIVO_DNS_IPADDR2", setting_type::address, setting_role::unused,
     &module_settings::dns_ipaddr2, nullptr},
    {"MOD_OSTRIVO_DNS_IPADDR3", setting_type::address, setting_role::unused,
     &module_settings::dns_ipaddr3, nullptr},
}};

void load_module_settings(module_settings &settings, const settings_handle &file)
{
    for (const module_setting &setting : MODULE_SETTINGS) {
        switch (setting.type) {
        case setting_type::number:
            settings.*setting.number = settings_get_uint(file, setting.key);
            break;
        case setting_type::address:
            settings.*setting.number = settings_get_ipaddr(file, setting.key);
            break;
        case setting_type::string:
            settings.*setting.text = settings_get_string(file, setting.key);
            break;
        }
    }
}

void load_module_settings(module_settings &settings, const char *path)
{
    settings_handle file = settings_open(path, "r");
    load_module_settings(settings, file);
    settings_close(std::move(file));
}
