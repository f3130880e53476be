#include "settings.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

struct settings_file {
    std::FILE *stream;
    // getline() grows this to the longest line seen, so every line is
    // examined whole; scanning reuses it and allocates nothing more.
    char *line;
    std::size_t capacity;
};

void settings_file_closer::operator()(settings_file *file) const noexcept
{
    if (file->stream != nullptr)
        std::fclose(file->stream);
    std::free(file->line);
    delete file;
}

settings_handle settings_open(const char *path, const char *mode)
{
    std::FILE *stream = std::fopen(path, mode);
    if (stream == nullptr)
        return nullptr;
    // cppcheck-suppress unreadVariable ; it misreads new (std::nothrow)
    settings_handle file(new (std::nothrow) settings_file{stream, nullptr, 0});
    if (!file)
        std::fclose(stream);
    return file;
}

int settings_close(settings_handle handle)
{
    if (!handle)
        return 0;
    int result = std::fclose(handle->stream);
    handle->stream = nullptr;
    return result;
}

namespace {

char ascii_lower(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool same_key(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (ascii_lower(a[i]) != ascii_lower(b[i]))
            return false;
    return true;
}

bool is_space(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

// One decimal number the way scanf's %u starts one (leading white space
// skipped, text after the digits left alone), except that a minus sign, a
// plus sign where it is not allowed, or a value above max is refused rather
// than wrapped.
bool parse_decimal(const char *&text, bool allow_plus, std::uint32_t max, std::uint32_t &out)
{
    while (is_space(*text))
        ++text;
    if (allow_plus && *text == '+')
        ++text;
    if (!is_digit(*text))
        return false;
    std::uint64_t value = 0;
    for (; is_digit(*text); ++text) {
        value = value * 10 + static_cast<std::uint64_t>(*text - '0');
        if (value > max)
            return false;
    }
    out = static_cast<std::uint32_t>(value);
    return true;
}

} // namespace

const char *settings_find(const settings_handle &handle, std::string_view key)
{
    if (!handle)
        return nullptr;
    settings_file &file = *handle;
    std::rewind(file.stream);
    while (getline(&file.line, &file.capacity, file.stream) != -1) {
        char *line = file.line;
        if (char *cr = std::strchr(line, '\r'))
            *cr = '\0';
        if (char *lf = std::strchr(line, '\n'))
            *lf = '\0';
        // The last quote on the line closes a quoted value; it and whatever
        // follows it are dropped, so "v" and v read the same.
        if (char *quote = std::strrchr(line, '"'))
            *quote = '\0';
        char *equals = std::strchr(line, '=');
        if (equals == nullptr)
            continue;
        if (!same_key(std::string_view(line, static_cast<std::size_t>(equals - line)), key))
            continue;
        char *value = equals + 1;
        return *value == '"' ? value + 1 : value;
    }
    return nullptr;
}

std::string settings_get_string(const settings_handle &handle, std::string_view key)
{
    const char *value = settings_find(handle, key);
    return value != nullptr ? std::string(value) : std::string();
}

std::uint32_t settings_get_uint(const settings_handle &handle, std::string_view key)
{
    const char *value = settings_find(handle, key);
    std::uint32_t number = 0;
    if (value == nullptr ||
        !parse_decimal(value, true, std::numeric_limits<std::uint32_t>::max(), number))
        return 0;
    return number;
}

ipv4_host settings_get_ipaddr(const settings_handle &handle, std::string_view key)
{
    const char *value = settings_find(handle, key);
    if (value == nullptr)
        return 0;
    ipv4_host address = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0 && *value++ != '.')
            return 0;
        std::uint32_t octet = 0;
        if (!parse_decimal(value, false, 255, octet))
            return 0;
        address = address << 8 | octet;
    }
    return address;
}
