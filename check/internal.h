// What the check's rules, probes and report share, inside check/ alone.
#pragma once

#include <string>
#include <string_view>

#include "check/check.h"

// rules.cpp: the file as the daemon reads and loads it, and every line and
// value that does not say what its writer meant; the host is asked only
// what a value means on it.
check_report check_rules(const char *path);
std::string_view check_trim(std::string_view text);

// probes.cpp: what the host says.
// What keeps a user who neither owns the file nor is in its group, as the
// relay's own user is, from reading it; empty when nothing does.
std::string check_closed_to_others(const char *path);
bool check_address_is_own(ipv4_host address);
// Whether port is free within seconds, as the daemon would bind it.
bool check_port_frees(std::uint32_t port, unsigned seconds);

// report.cpp: text as it can be shown, every byte outside printable ASCII
// written as \xNN (and quotes and backslashes too, where escape_quotes).
std::string check_escape(std::string_view text, bool escape_quotes);
// Text from the file, quoted for a message.
std::string check_quote(std::string_view text);
