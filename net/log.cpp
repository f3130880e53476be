// The system log, written as glibc's syslog() writes it, but never waiting
// for its reader: a stalled journald or syslogd must not stop the relay.

#include "log.h"

#include "net.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <utility>

#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>

namespace {

struct system_log {
    const char *identity = "";
    int facility = LOG_USER;
    unique_fd sock;
    int type = SOCK_DGRAM;
    unsigned long lost = 0; // records dropped since the last one got through
    int lost_error = 0;     // why the last of them was dropped
} log_state;

// Connects to /dev/log as a datagram socket, or as a stream socket where the
// reader listens on one, as glibc does.
void log_connect()
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, "/dev/log");
    for (int type : {SOCK_DGRAM, SOCK_STREAM}) {
        unique_fd sock(::socket(AF_UNIX, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        if (sock && ::connect(sock.get(), reinterpret_cast<const sockaddr *>(&address),
                              sizeof address) == 0) {
            log_state.sock = std::move(sock);
            log_state.type = type;
            return;
        }
        if (errno != EPROTOTYPE)
            return;
    }
}

bool reader_gone(int error)
{
    return error == ECONNREFUSED || error == ENOTCONN || error == ECONNRESET || error == EPIPE ||
           error == ENOENT;
}

// One record, whole, or false with errno set. A stream socket carries the
// terminating zero byte as the record's end; one that took a record only in
// part is closed, so that the next record starts a fresh stream.
bool send_record(const char *record, std::size_t size)
{
    if (log_state.type == SOCK_STREAM)
        ++size;
    ssize_t sent = ::send(log_state.sock.get(), record, size, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (sent == static_cast<ssize_t>(size))
        return true;
    if (sent >= 0) {
        log_state.sock.reset();
        errno = EAGAIN;
    }
    return false;
}

// The record as glibc formats it: "<PRI>Mmm dd hh:mm:ss IDENTITY[PID]: text".
std::size_t format_record(char *record, std::size_t room, int priority, const char *text)
{
    std::time_t now = std::time(nullptr);
    std::tm local{};
    char stamp[32] = "";
    if (localtime_r(&now, &local) != nullptr)
        std::strftime(stamp, sizeof stamp, "%b %e %T", &local);
    int size = std::snprintf(record, room, "<%d>%s %s[%d]: %s", priority | log_state.facility,
                             stamp, log_state.identity, static_cast<int>(getpid()), text);
    return size < 0 ? 0 : std::min(static_cast<std::size_t>(size), room - 1);
}

// Sends one record, or false with errno set; reconnects once where the
// reader went away and came back.
bool deliver(int priority, const char *text)
{
    char record[1024];
    std::size_t size = format_record(record, sizeof record, priority, text);
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!log_state.sock)
            log_connect();
        if (!log_state.sock)
            return false;
        if (send_record(record, size))
            return true;
        if (!reader_gone(errno))
            return false;
        log_state.sock.reset();
    }
    return false;
}

} // namespace

void log_open(const char *identity, int facility)
{
    int saved = errno;
    log_state.identity = identity;
    log_state.facility = facility;
    tzset();
    log_connect();
    errno = saved;
}

// printf-style, so that the compiler checks each call against its format.
void log_write(int priority, const char *format, ...) // NOLINT(cert-dcl50-cpp)
{
    int saved = errno;
    char text[768];
    std::va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);

    // Those lost first, in the daemon's error pattern, with the reason the
    // last of them was dropped.
    bool through = true;
    if (log_state.lost > 0) {
        char report[128];
        std::snprintf(report, sizeof report, "log error: %lu records lost: %s", log_state.lost,
                      std::strerror(log_state.lost_error));
        through = deliver(LOG_ERR, report);
        if (through)
            log_state.lost = 0;
    }
    if (!through || !deliver(priority, text)) {
        log_state.lost_error = errno;
        ++log_state.lost;
    }
    errno = saved;
}

void log_failure(failed_call call)
{
    int saved = errno;
    log_write(LOG_ERR, "%s error: %s", FAILED_CALL_NAMES[static_cast<int>(call)],
              std::strerror(saved));
    errno = saved;
}
