// A throwaway network of namespace hosts in which ostrivod runs for real,
// with its settings file and system log redirected into the sandbox.
//
// sandbox_enter() moves the calling (single-threaded) process into a private
// mount namespace: tmpfs on /opt and /run, an overlay on /dev whose /dev/log
// is the sandbox's listener. The hosts are named network namespaces that live
// only in that mount namespace, so they vanish with the process, however it
// ends. The host's own /opt, /run and /dev/log are never touched.
//
//   sender  198.18.1.2 --+                          +-- dest1 198.18.2.2
//   foreign 198.18.1.3 --+-- 198.18.1.1 relay 198.18.2.1 --+-- dest2 198.18.2.3
//   bare    (none)     --+
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <netinet/in.h>
#include <sys/types.h>

#include "net/net.h"

// Returns an empty string once the sandbox is up, else why it cannot be
// (not root, no ip(8), no namespaces).
std::string sandbox_enter();

void sandbox_write_settings(const std::string &content);

// A command line given as one string, split at blanks: the daemon's path,
// after an emulator or a checker and its options where one runs it.
std::vector<std::string> sandbox_daemon_command(const std::string &words);

// Starts command in the relay host. It is killed if this process dies first.
// With fill_descriptors, descriptors 0 to fill_descriptors - 1 are all open
// when it starts. With refuse_filters, the kernel refuses it socket filters
// (ENOMEM), as when a socket's option memory is spent.
pid_t sandbox_start(const std::vector<std::string> &command, int fill_descriptors = 0,
                    bool refuse_filters = false);
// Waits for the process to end by itself; returns its wait status or -1.
int sandbox_wait_exit(pid_t pid, int timeout_ms);
// Ends the process (SIGTERM, then SIGKILL) and returns its wait status.
int sandbox_stop(pid_t pid);
// A field of /proc/PID/status without its name, such as "1800 kB" for
// "VmRSS"; empty when the process or the field is not there.
std::string sandbox_status(pid_t pid, const std::string &field);
// A counter of the Udp line of /proc/PID/net/snmp, such as "OutDatagrams":
// the whole network namespace of the process.
std::uint64_t sandbox_udp_counter(pid_t pid, const std::string &name);
// True once the process has a UDP socket bound to port.
bool sandbox_wait_bound(pid_t pid, std::uint16_t port, int timeout_ms);
// True once the process holds a UDP socket of its own: one of its
// descriptors is a socket that /proc/PID/net/udp lists, whatever its port.
bool sandbox_wait_udp_socket(pid_t pid, int timeout_ms);
// True once the receive queue of that socket is empty.
bool sandbox_wait_drained(pid_t pid, std::uint16_t port, int timeout_ms);

// A UDP socket in the named host, bound to port on all its addresses.
unique_fd sandbox_udp_socket(const char *host, std::uint16_t port);

struct sandbox_datagram {
    std::string payload;
    sockaddr_in from;
};
bool sandbox_send(int sock, const std::string &payload, const char *address, std::uint16_t port);
bool sandbox_receive(int sock, sandbox_datagram &datagram, int timeout_ms);

struct sandbox_record {
    int priority;         // facility and level, as sent
    std::string identity; // "Ostrivo[pid]"
    std::string text;
};
// The next record sent to /dev/log, or false when none came in time.
bool sandbox_next_record(sandbox_record &record, int timeout_ms);

std::string sandbox_address_text(const sockaddr_in &address);
