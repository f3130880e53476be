// Read-only, typed access to a settings file of KEY=value lines.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

// An IPv4 address in host byte order; 0 when absent or unparsable.
using ipv4_host = std::uint32_t;

struct settings_file;
struct settings_file_closer {
    void operator()(settings_file *file) const noexcept;
};
// Null when the file could not be opened; every operation accepts null.
using settings_handle = std::unique_ptr<settings_file, settings_file_closer>;

settings_handle settings_open(const char *path, const char *mode);
// Returns the result of closing the stream, 0 for a null handle.
int settings_close(settings_handle handle);

// The raw value of the first line whose key matches, ignoring ASCII case, or
// null. It points into the handle's line buffer: valid until the next lookup.
const char *settings_find(const settings_handle &handle, std::string_view key);

// Each getter gives its default (empty, 0) when the key is absent or the
// value does not parse.
std::string settings_get_string(const settings_handle &handle, std::string_view key);
std::uint32_t settings_get_uint(const settings_handle &handle, std::string_view key);
ipv4_host settings_get_ipaddr(const settings_handle &handle, std::string_view key);
