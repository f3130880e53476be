// Read-only, typed access to a settings file of KEY=value lines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

// An IPv4 address in host byte order; 0 when absent or unparsable.
using ipv4_host = std::uint32_t;

// The most a settings file may hold, far above any real one (a few hundred
// bytes), yet little enough for the smallest board to hold once.
constexpr std::size_t SETTINGS_SIZE_LIMIT = 1 << 20;

struct settings_file;
struct settings_file_closer {
    void operator()(settings_file *file) const noexcept;
};
// Null when the file could not be read; every operation accepts null.
using settings_handle = std::unique_ptr<settings_file, settings_file_closer>;

// Reads the whole file once, into the handle: every lookup scans that
// snapshot, so a rewrite meanwhile changes nothing. Only a regular file of at
// most SETTINGS_SIZE_LIMIT bytes is read; without one, null, and errno says
// why: open's or read's error, EINVAL for a file that is not a regular one
// (never opened, so a FIFO cannot block), EFBIG for one too large. A UTF-8
// byte-order mark at its start is skipped.
settings_handle settings_open(const char *path, const char *mode);
// Returns the result of closing the file, 0 for a null handle.
int settings_close(settings_handle handle);

// Where the reader cuts a line, in the order it cuts: at the first zero
// byte, at the first CR before that, and at the last double quote before
// those, which closes a quoted value. Nothing from a cut on is read.
enum class settings_cut { nul, cr, quote };
// One thing the reader did to a line: the cut, and the span of the line's
// text it left unread, from the cut byte to where the previous cut ended it.
struct settings_finding {
    settings_cut kind;
    std::size_t line;
    std::string_view span;
};
// One line as the lookups see it.
struct settings_line {
    std::size_t number;           // counted from 1
    std::string_view text;        // as written, without its line end
    std::string_view key;         // what a lookup compares: the text before the first '='
    const char *value;            // what a lookup gives for it; null for a line without '='
    settings_finding findings[3]; // the cuts made, in their order
    std::size_t finding_count;
};
// Where a walk through the lines stands; a new one stands before the first.
struct settings_cursor {
    std::size_t offset = 0;
    std::size_t number = 0;
};
// Steps to the next line; false after the last. The line's key and value
// stay valid until the next step or lookup.
bool settings_next_line(const settings_handle &handle, settings_cursor &cursor,
                        settings_line &line);
// Whether a line's key is key, as the lookups compare them: whole, ignoring
// ASCII case.
bool settings_same_key(std::string_view line_key, std::string_view key);

// The raw value of the first line whose key matches, or null; line_number,
// when given, gets that line's number. It points into the handle's line
// buffer: valid until the next lookup.
const char *settings_find(const settings_handle &handle, std::string_view key,
                          std::size_t *line_number = nullptr);

// How the getters read a value: where the number or address ends, or null
// when it does not parse. A number is decimal, after optional blanks and
// '+', at most 4294967295; an address is four dotted parts of 0-255, each
// written the same way.
const char *settings_parse_uint(const char *value, std::uint32_t &number);
const char *settings_parse_ipaddr(const char *value, ipv4_host &address);

// Each getter gives its default (empty, 0) when the key is absent or the
// value does not parse.
std::string settings_get_string(const settings_handle &handle, std::string_view key);
std::uint32_t settings_get_uint(const settings_handle &handle, std::string_view key);
ipv4_host settings_get_ipaddr(const settings_handle &handle, std::string_view key);
