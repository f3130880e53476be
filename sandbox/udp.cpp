// UDP sockets in the namespace hosts, and what /proc tells of the daemon's.

#include "sandbox.h"

#include "internal.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string_view>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

// How /proc/net/udp writes the local port of a socket bound to port.
std::string sandbox_udp_table_port(std::uint16_t port)
{
    char local[16];
    std::snprintf(local, sizeof local, ":%04X", port);
    return local;
}

namespace {

// The queues of the socket bound to port, as /proc/PID/net/udp writes them
// ("TX:RX" in hexadecimal), or empty when there is none.
std::string udp_queues(pid_t pid, std::uint16_t port)
{
    std::string local = sandbox_udp_table_port(port);
    std::ifstream in("/proc/" + std::to_string(pid) + "/net/udp");
    std::string line, slot, address, remote, state, queues;
    std::getline(in, line);
    while (in >> slot >> address >> remote >> state >> queues && std::getline(in, line))
        if (address.ends_with(local))
            return queues;
    return "";
}

} // namespace

bool sandbox_wait_bound(pid_t pid, std::uint16_t port, int timeout_ms)
{
    return sandbox_wait_until(timeout_ms, [&] { return !udp_queues(pid, port).empty(); });
}

namespace {

bool holds_udp_socket(pid_t pid)
{
    std::string proc = "/proc/" + std::to_string(pid);
    std::set<std::string> inodes;
    for (int fd = 0; fd < 64; ++fd) {
        char target[64] = "";
        if (readlink((proc + "/fd/" + std::to_string(fd)).c_str(), target, sizeof target - 1) > 0 &&
            std::string_view(target).starts_with("socket:["))
            inodes.insert(std::string(target + 8, std::strlen(target) - 9));
    }
    // "sl local remote st tx:rx tr:when retrnsmt uid timeout inode ..."
    std::ifstream table(proc + "/net/udp");
    std::string line;
    std::getline(table, line);
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string field;
        for (int column = 0; column < 10 && fields >> field; ++column) {
        }
        if (inodes.contains(field))
            return true;
    }
    return false;
}

} // namespace

bool sandbox_wait_udp_socket(pid_t pid, int timeout_ms)
{
    return sandbox_wait_until(timeout_ms, [&] { return holds_udp_socket(pid); });
}

bool sandbox_wait_drained(pid_t pid, std::uint16_t port, int timeout_ms)
{
    return sandbox_wait_until(timeout_ms,
                              [&] { return udp_queues(pid, port).ends_with(":00000000"); });
}

unique_fd sandbox_udp_socket(const char *host, std::uint16_t port)
{
    unique_fd sock;
    if (sandbox_enter_host(host))
        sock = unique_fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sandbox_leave_host();
    if (!sock)
        return sock;
    int size = 1 << 20;
    setsockopt(sock.get(), SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    if (bind(sock.get(), reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
        return unique_fd();
    return sock;
}

bool sandbox_send(int sock, const std::string &payload, const char *address, std::uint16_t port)
{
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    inet_pton(AF_INET, address, &to.sin_addr);
    return sendto(sock, payload.data(), payload.size(), 0, reinterpret_cast<sockaddr *>(&to),
                  sizeof to) == static_cast<ssize_t>(payload.size());
}

bool sandbox_receive(int sock, sandbox_datagram &datagram, int timeout_ms)
{
    if (!sandbox_readable(sock, timeout_ms))
        return false;
    datagram.payload.resize(65536);
    socklen_t length = sizeof datagram.from;
    ssize_t size = recvfrom(sock, datagram.payload.data(), datagram.payload.size(), MSG_TRUNC,
                            reinterpret_cast<sockaddr *>(&datagram.from), &length);
    if (size < 0)
        return false;
    datagram.payload.resize(static_cast<std::size_t>(size));
    return true;
}

std::string sandbox_address_text(const sockaddr_in &address)
{
    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(address.sin_port));
}
