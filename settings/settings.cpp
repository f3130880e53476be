#include "settings.h"

#include <cerrno>
#include <cstring>
#include <limits>
#include <new>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

struct settings_file {
    int fd;
    // cppcheck-suppress unusedStructMember ; read through the handle
    std::string content; // the whole file, as read at open
    // The line under examination: lookups cut it up in place, so it is a copy.
    // cppcheck-suppress unusedStructMember ; read through the handle
    std::string line;
};

void settings_file_closer::operator()(settings_file *file) const noexcept
{
    int saved = errno;
    if (file->fd >= 0)
        ::close(file->fd);
    delete file;
    errno = saved;
}

namespace {

// A file of at most SETTINGS_SIZE_LIMIT bytes into content; false with errno
// set otherwise.
bool read_whole(int fd, std::string &content)
{
    char chunk[4096];
    for (;;) {
        ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return false;
        if (got == 0)
            return true;
        if (content.size() + static_cast<std::size_t>(got) > SETTINGS_SIZE_LIMIT) {
            errno = EFBIG;
            return false;
        }
        content.append(chunk, static_cast<std::size_t>(got));
    }
}

} // namespace

settings_handle settings_open(const char *path, const char *mode)
{
    // The reader never writes.
    if (mode[0] != 'r' || std::strchr(mode, '+') != nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    // A FIFO would block the open or the reads, and a device such as
    // /dev/zero would never end: only a regular file is opened, and checked
    // again once open in case the path changed in between.
    struct stat status {};
    if (::stat(path, &status) != 0)
        return nullptr;
    if (!S_ISREG(status.st_mode)) {
        errno = EINVAL;
        return nullptr;
    }
    int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    // cppcheck-suppress unreadVariable ; it misreads new (std::nothrow)
    settings_handle file(new (std::nothrow) settings_file{fd, {}, {}});
    if (!file) {
        ::close(fd);
        errno = ENOMEM;
        return nullptr;
    }
    if (::fstat(fd, &status) != 0)
        return nullptr;
    if (!S_ISREG(status.st_mode)) {
        errno = EINVAL;
        return nullptr;
    }
    if (!read_whole(fd, file->content))
        return nullptr;
    if (file->content.starts_with("\xEF\xBB\xBF"))
        file->content.erase(0, 3);
    return file;
}

int settings_close(settings_handle handle)
{
    if (!handle)
        return 0;
    int result = ::close(handle->fd);
    handle->fd = -1;
    return result;
}

namespace {

char ascii_lower(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
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
// skipped, an optional plus sign, text after the digits left alone), except
// that a minus sign or a value above max is refused rather than wrapped.
const char *parse_decimal(const char *text, std::uint32_t max, std::uint32_t &out)
{
    while (is_space(*text))
        ++text;
    if (*text == '+')
        ++text;
    if (!is_digit(*text))
        return nullptr;
    std::uint64_t value = 0;
    for (; is_digit(*text); ++text) {
        value = value * 10 + static_cast<std::uint64_t>(*text - '0');
        if (value > max)
            return nullptr;
    }
    out = static_cast<std::uint32_t>(value);
    return text;
}

} // namespace

bool settings_same_key(std::string_view line_key, std::string_view key)
{
    if (line_key.size() != key.size())
        return false;
    for (std::size_t i = 0; i < key.size(); ++i)
        if (ascii_lower(line_key[i]) != ascii_lower(key[i]))
            return false;
    return true;
}

bool settings_next_line(const settings_handle &handle, settings_cursor &cursor, settings_line &line)
{
    if (!handle || cursor.offset >= handle->content.size())
        return false;
    const std::string &content = handle->content;
    std::size_t end = content.find('\n', cursor.offset);
    if (end == std::string::npos)
        end = content.size();
    line.number = ++cursor.number;
    line.text = std::string_view(content).substr(cursor.offset, end - cursor.offset);
    cursor.offset = end + 1;

    // The line is examined as a C string: a zero byte ends it, then a CR
    // (so CR LF ends read like LF), then the last quote on it, which closes
    // a quoted value: it and whatever follows are dropped, so "v" and v read
    // the same.
    std::string &text = handle->line;
    text.assign(line.text);
    line.finding_count = 0;
    auto cut = [&](settings_cut kind, std::size_t at) {
        if (at == std::string::npos)
            return;
        line.findings[line.finding_count++] = {kind, line.number,
                                               line.text.substr(at, text.size() - at)};
        text.resize(at);
    };
    cut(settings_cut::nul, text.find('\0'));
    cut(settings_cut::cr, text.find('\r'));
    cut(settings_cut::quote, text.rfind('"'));
    std::size_t equals = text.find('=');
    if (equals == std::string::npos) {
        line.key = {};
        line.value = nullptr;
        return true;
    }
    line.key = std::string_view(text).substr(0, equals);
    line.value = text.c_str() + equals + 1;
    if (*line.value == '"')
        ++line.value;
    return true;
}

const char *settings_find(const settings_handle &handle, std::string_view key,
                          std::size_t *line_number)
{
    settings_cursor cursor;
    settings_line line{};
    while (settings_next_line(handle, cursor, line)) {
        if (line.value != nullptr && settings_same_key(line.key, key)) {
            if (line_number != nullptr)
                *line_number = line.number;
            return line.value;
        }
    }
    return nullptr;
}

const char *settings_parse_uint(const char *value, std::uint32_t &number)
{
    return parse_decimal(value, std::numeric_limits<std::uint32_t>::max(), number);
}

const char *settings_parse_ipaddr(const char *value, ipv4_host &address)
{
    ipv4_host parsed = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0 && *value++ != '.')
            return nullptr;
        std::uint32_t octet = 0;
        value = parse_decimal(value, 255, octet);
        if (value == nullptr)
            return nullptr;
        parsed = parsed << 8 | octet;
    }
    address = parsed;
    return value;
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
    if (value == nullptr || settings_parse_uint(value, number) == nullptr)
        return 0;
    return number;
}

ipv4_host settings_get_ipaddr(const settings_handle &handle, std::string_view key)
{
    const char *value = settings_find(handle, key);
    ipv4_host address = 0;
    if (value == nullptr || settings_parse_ipaddr(value, address) == nullptr)
        return 0;
    return address;
}
