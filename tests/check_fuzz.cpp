// Any bytes as a settings file, read both ways: as the daemon loads it, and
// through the check. What the check prints with -p must be exactly what the
// daemon loads (printed lines read back as the same settings), and the
// check's verdict must be whether those settings can relay.

#include "daemon/daemon.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

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

bool same(const module_settings &a, const module_settings &b)
{
    for (const module_setting &setting : MODULE_SETTINGS)
        if (setting.type == setting_type::string ? a.*setting.text != b.*setting.text
                                                 : a.*setting.number != b.*setting.number)
            return false;
    return true;
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
    int status = check_settings(input.path.c_str(), {true, true}, out, err);
    std::fclose(out);
    std::fclose(err);
    std::string lines(out_text, out_size);
    std::free(out_text);
    std::free(err_text);

    // Nine lines, each a key of the record in its order.
    std::size_t at = 0;
    for (const module_setting &setting : MODULE_SETTINGS) {
        std::string_view line = std::string_view(lines).substr(at, lines.find('\n', at) - at);
        if (!line.starts_with(std::string(setting.key) + "="))
            std::abort();
        // A value marked as the default is the default.
        if (line.ends_with(" # default") &&
            (setting.type == setting_type::string ? !(loaded.*setting.text).empty()
                                                  : loaded.*setting.number != 0))
            std::abort();
        at += line.size() + 1;
    }
    if (at != lines.size() || !printed.write(lines) || !same(printed.load(), loaded))
        std::abort();

    bool relays = loaded.src_ipaddr != 0 && loaded.dst_ipaddr != 0 && loaded.port != 0 &&
                  loaded.port <= 65535;
    if (status != (relays ? 0 : 1))
        std::abort();
    return 0;
}
