// Any bytes as a settings file, read both ways: as the daemon loads it, and
// through the check. What the check prints with -p must be exactly what the
// daemon loads (printed lines read back as the same settings), and the
// check's verdict must be whether those settings can relay, as judged here
// apart from the check. Every getter of the reader, on the keys the file
// itself holds, must neither crash, nor leak, nor trip a sanitizer.

#include "check/check.h"

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/mman.h>
#include <unistd.h>

namespace {

// A file in memory, rewritten for each input and opened by path the way
// the daemon opens its own.
struct memory_file {
    int fd = memfd_create("settings", 0);
    std::string path = "/proc/self/fd/" + std::to_string(fd);

    bool write(std::string_view content) const
    {
        return ftruncate(fd, 0) == 0 && pwrite(fd, content.data(), content.size(), 0) ==
                                            static_cast<ssize_t>(content.size());
    }

    module_settings load() const
    {
        module_settings settings;
        settings_handle file = settings_open(path.c_str(), "r");
        load_module_settings(settings, file);
        return settings;
    }
};

// What stands before the '=' of the first lines, as written and upper-cased,
// read every way.
void read_keys_in(const settings_handle &file, std::string_view input)
{
    for (int lines = 0; !input.empty() && lines < 16; ++lines) {
        std::string_view line = input.substr(0, input.find('\n'));
        input.remove_prefix(std::min(input.size(), line.size() + 1));
        std::string key(line.substr(0, line.find('=')));
        for (int twice = 0; twice < 2; ++twice) {
            (void)settings_find(file, key);
            (void)settings_get_string(file, key);
            (void)settings_get_uint(file, key);
            (void)settings_get_ipaddr(file, key);
            for (char &c : key)
                c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
    }
}

bool printable(const std::string &text)
{
    for (char c : text)
        if (c < 0x20 || c > 0x7e)
            return false;
    return true;
}

// A string that -p had to escape is said not to read back as it was.
bool same(const module_settings &loaded, const module_settings &reread)
{
    for (const module_setting &setting : MODULE_SETTINGS)
        if (setting.type == setting_type::string
                ? printable(loaded.*setting.text) && loaded.*setting.text != reread.*setting.text
                : loaded.*setting.number != reread.*setting.number)
            return false;
    return true;
}

bool is_own_address(in_addr_t address)
{
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0)
        return false;
    bool own = false;
    for (ifaddrs *each = list; each != nullptr && !own; each = each->ifa_next)
        own = each->ifa_addr != nullptr && each->ifa_addr->sa_family == AF_INET &&
              reinterpret_cast<sockaddr_in *>(each->ifa_addr)->sin_addr.s_addr == address;
    freeifaddrs(list);
    return own;
}

// Whether a datagram can go from the source to the destination, by the C
// library's address classes and this host's interfaces: a source some host
// can send from (0.0.0.0, a host without an address, only when written so),
// a destination that is another host or a broadcast, and a port to bind.
bool can_relay(const module_settings &loaded, bool source_written)
{
    in_addr_t source = loaded.src_ipaddr, destination = loaded.dst_ipaddr;
    bool sender =
        source == INADDR_ANY ? source_written : !IN_MULTICAST(source) && source != INADDR_BROADCAST;
    bool receiver = destination >> IN_CLASSA_NSHIFT != 0 &&
                    destination >> IN_CLASSA_NSHIFT != IN_LOOPBACKNET &&
                    !is_own_address(htonl(destination));
    return sender && receiver && loaded.port != 0 && loaded.port <= 65535;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static const memory_file input, printed;
    if (!input.write(std::string_view(reinterpret_cast<const char *>(data), size)))
        return 0;
    module_settings loaded = input.load();

    char *out_text = nullptr, *err_text = nullptr;
    std::size_t out_size = 0, err_size = 0;
    std::FILE *out = open_memstream(&out_text, &out_size);
    std::FILE *err = open_memstream(&err_text, &err_size);
    int status = check_settings(input.path.c_str(), {.quiet = true, .print = true}, out, err);
    std::fclose(out);
    std::fclose(err);
    std::string lines(out_text, out_size);
    std::free(out_text);
    std::free(err_text);

    // Nine lines, each a key of the record in its order; a default printed
    // as a comment, and the default indeed.
    std::size_t at = 0;
    for (const module_setting &setting : MODULE_SETTINGS) {
        std::string_view line = std::string_view(lines).substr(at, lines.find('\n', at) - at);
        bool by_default = line.starts_with("# ") && line.ends_with(" (default)");
        if (!line.substr(by_default ? 2 : 0).starts_with(std::string(setting.key) + "="))
            std::abort();
        if (by_default && (setting.type == setting_type::string ? !(loaded.*setting.text).empty()
                                                                : loaded.*setting.number != 0))
            std::abort();
        at += line.size() + 1;
    }
    if (at != lines.size() || !printed.write(lines) || !same(loaded, printed.load()))
        std::abort();

    settings_handle file = settings_open(input.path.c_str(), "r");
    read_keys_in(file, std::string_view(reinterpret_cast<const char *>(data), size));
    const char *source = settings_find(file, "MOD_OSTRIVO_SRC_IPADDR");
    ipv4_host address = 0;
    bool source_written = source != nullptr && settings_parse_ipaddr(source, address) != nullptr;
    if (status != (can_relay(loaded, source_written) ? 0 : 1))
        std::abort();
    return 0;
}
