// The daemon's system log.
#pragma once

#include <cstddef>
#include <iterator>

// As syslog() writes it after openlog(identity, LOG_PID | LOG_NDELAY,
// facility), but never waiting: a record that finds the log's queue full is
// dropped, and the next one that gets through is preceded by
// "log error: N records lost: REASON". Both keep errno.
void log_open(const char *identity, int facility);
void log_write(int priority, const char *format, ...) __attribute__((format(printf, 2, 3)));

// The calls whose failure the daemon logs, and the name each is logged by,
// in the same order; send stays last.
enum class failed_call { create_socket, bind_socket, attach_filter, select, recv, send };
inline constexpr const char *FAILED_CALL_NAMES[] = {
    "create socket", "bind socket", "attach filter", "select", "recv", "send",
};
static_assert(std::size(FAILED_CALL_NAMES) == static_cast<std::size_t>(failed_call::send) + 1,
              "a name for every failed call");
// "NAME error: REASON" at LOG_ERR, REASON the text for errno; keeps errno.
void log_failure(failed_call call);
