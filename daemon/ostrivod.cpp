// ostrivod: relays UDP datagrams from one source host to one destination
// (often a subnet broadcast address) on the same port.

#include <cerrno>
#include <cstddef>
#include <cstdint>

#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include "settings/module_settings.h"
#include "net/log.h"
#include "net/net.h"

namespace {

// Room for any UDP datagram (at most 65,507 bytes over IPv4), so none is cut.
constexpr std::size_t RELAY_BUFFER_SIZE = 65535;

// With filtered, the kernel has already dropped what the relay must not
// relay. Without it, every datagram is judged here.
[[noreturn]] void relay(int sock, const module_settings &settings, bool filtered)
{
    static unsigned char buffer[RELAY_BUFFER_SIZE];
    const sockaddr_in destination =
        to_sockaddr(htonl(settings.dst_ipaddr), static_cast<std::uint16_t>(settings.port));
    sockaddr_in address{};
    socklen_t address_length = 0;
    fd_set readable;

    for (;;) {
        FD_ZERO(&readable);
        FD_SET(sock, &readable);
        // Only the socket's own bit, not the whole set, is worth scanning.
        if (select(sock + 1, &readable, nullptr, nullptr, nullptr) < 0) {
            log_failure(failed_call::select);
            sleep(1);
            // A failed select leaves the set as it was, so the socket is
            // still marked and the receive below waits for a datagram.
        }
        if (!FD_ISSET(sock, &readable))
            continue;

        address_length = sizeof address;
        ssize_t received = recvfrom(sock, buffer, sizeof buffer, MSG_WAITALL,
                                    reinterpret_cast<sockaddr *>(&address), &address_length);
        if (received < 0) {
            log_failure(failed_call::recv);
            continue;
        }
        if (ntohl(address.sin_addr.s_addr) != settings.src_ipaddr)
            continue;
        // Its own output come back, as udp_filter (net/net.h) tells.
        if (!filtered && ntohs(address.sin_port) == settings.port &&
            udp_address_is_local(address.sin_addr.s_addr))
            continue;

        if (sendto(sock, buffer, static_cast<std::size_t>(received), 0,
                   reinterpret_cast<const sockaddr *>(&destination), sizeof destination) < 0)
            log_failure(failed_call::send);
    }
}

} // namespace

int main()
{
    setsid();
    log_open("Ostrivo", LOG_DAEMON);
    log_write(LOG_NOTICE, "started");

    module_settings settings;
    load_module_settings(settings);

    // Refused, the filter leaves the relay as exact but open to a flood that
    // crowds out the source: it then judges every datagram itself.
    in_addr_t source = htonl(settings.src_ipaddr);
    bool filtered = false;
    unique_fd sock =
        udp_socket_open(settings.port, udp_filter{source, udp_address_is_local(source)}, filtered);
    if (!sock)
        return 1;
    // select() can only watch descriptors below FD_SETSIZE; the owner closes
    // the socket on the way out.
    if (sock.get() >= FD_SETSIZE) {
        errno = EMFILE;
        log_failure(failed_call::create_socket);
        return 1;
    }

    int broadcast = 1;
    setsockopt(sock.get(), SOL_SOCKET, SO_BROADCAST, &broadcast, sizeof broadcast);
    relay(sock.get(), settings, filtered);
}
