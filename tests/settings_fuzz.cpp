// Any bytes at all as a settings file: every getter, on the keys the daemon
// reads and on keys taken from the input itself, must neither crash, nor
// leak, nor trip a sanitizer.

#include "settings/settings.h"

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

namespace {

constexpr const char *MODULE_KEYS[] = {
    "MOD_OSTRIVO_ENABLED",     "MOD_OSTRIVO_SRC_IPADDR",  "MOD_OSTRIVO_DST_IPADDR",
    "MOD_OSTRIVO_PORT",        "MOD_OSTRIVO_FTP_IPADDR",  "MOD_OSTRIVO_DOMAIN",
    "MOD_OSTRIVO_DNS_IPADDR1", "MOD_OSTRIVO_DNS_IPADDR2", "MOD_OSTRIVO_DNS_IPADDR3",
};

void read_every_way(const settings_handle &file, std::string_view key)
{
    (void)settings_find(file, key);
    (void)settings_get_string(file, key);
    (void)settings_get_uint(file, key);
    (void)settings_get_ipaddr(file, key);
}

// What stands before the '=' of the first lines, as written and upper-cased,
// so that keys present in the file are looked up too.
std::vector<std::string> keys_in(std::string_view input)
{
    std::vector<std::string> keys;
    while (!input.empty() && keys.size() < 16) {
        std::string_view line = input.substr(0, input.find('\n'));
        input.remove_prefix(std::min(input.size(), line.size() + 1));
        std::string key(line.substr(0, line.find('=')));
        keys.push_back(key);
        for (char &c : key)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        keys.push_back(std::move(key));
    }
    return keys;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    // One file in memory, rewritten for each input and opened by path the
    // way the daemon opens its own.
    static const int fd = memfd_create("settings", 0);
    static const std::string path = "/proc/self/fd/" + std::to_string(fd);
    if (ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size))
        return 0;

    settings_handle file = settings_open(path.c_str(), "r");
    for (const char *key : MODULE_KEYS)
        read_every_way(file, key);
    std::string_view input(reinterpret_cast<const char *>(data), size);
    for (const std::string &key : keys_in(input))
        read_every_way(file, key);
    settings_close(std::move(file));
    return 0;
}
