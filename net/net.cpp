#include "net.h"

#include "log.h"

#include <cerrno>
#include <iterator>

#include <linux/filter.h>
#include <linux/if_packet.h>
#include <netinet/in.h>
#include <sys/socket.h>

void unique_fd::reset(int fd) noexcept
{
    if (fd_ >= 0) {
        int saved = errno;
        ::close(fd_);
        errno = saved;
    }
    fd_ = fd;
}

namespace {

// lo is interface 1 in every network namespace.
constexpr std::uint32_t LOOPBACK_IFINDEX = 1;

constexpr sock_filter statement(int code, std::uint32_t k)
{
    return {static_cast<std::uint16_t>(code), 0, 0, k};
}

constexpr sock_filter jump(int code, std::uint32_t k, std::uint8_t if_true, std::uint8_t if_false)
{
    return {static_cast<std::uint16_t>(code), if_true, if_false, k};
}

constexpr std::uint32_t net_offset(int offset)
{
    return static_cast<std::uint32_t>(SKF_NET_OFF + offset);
}

constexpr std::uint32_t ancillary(int field)
{
    return static_cast<std::uint32_t>(SKF_AD_OFF + field);
}

bool attach_filter(int sock, std::uint16_t port, const udp_filter &udp)
{
    // The kernel runs this on each datagram before it queues it, so a flood
    // from another host never takes the accepted host's place in the queue.
    // Offset 0 is the UDP header, SKF_NET_OFF the IPv4 one; loads come out in
    // host byte order, and jumps count the instructions they skip.
    sock_filter program[] = {
        /* 0 */ statement(BPF_LD | BPF_W | BPF_ABS, net_offset(12)),      // IPv4 source address
        /* 1 */ jump(BPF_JMP | BPF_JEQ | BPF_K, ntohl(udp.source), 0, 7), // another host: 9, drop
        /* 2 */ statement(BPF_LD | BPF_H | BPF_ABS, 0),                   // UDP source port
        /* 3 */ jump(BPF_JMP | BPF_JEQ | BPF_K, port, udp.source_is_local ? 5 : 0, 4), // 9 or 4; 8
        /* 4 */ statement(BPF_LD | BPF_W | BPF_ABS, ancillary(SKF_AD_PKTTYPE)),
        /* 5 */ jump(BPF_JMP | BPF_JEQ | BPF_K, PACKET_LOOPBACK, 3, 0), // looped back: 9, drop
        /* 6 */ statement(BPF_LD | BPF_W | BPF_ABS, ancillary(SKF_AD_IFINDEX)),
        /* 7 */ jump(BPF_JMP | BPF_JEQ | BPF_K, LOOPBACK_IFINDEX, 1, 0), // through lo: 9, drop
        /* 8 */ statement(BPF_RET | BPF_K, UINT32_MAX),                  // pass, whole
        /* 9 */ statement(BPF_RET | BPF_K, 0),                           // drop
    };
    sock_fprog filter{static_cast<unsigned short>(std::size(program)), program};
    if (::setsockopt(sock, SOL_SOCKET, SO_ATTACH_FILTER, &filter, sizeof filter) != 0) {
        log_failure(failed_call::attach_filter);
        return false;
    }
    return true;
}

} // namespace

unique_fd udp_socket_open(std::uint32_t port, const udp_filter &filter, bool &filtered)
{
    // Binding only the low 16 bits would listen, and later send, on a port
    // nobody configured.
    if (port > UINT16_MAX) {
        errno = EINVAL;
        log_failure(failed_call::bind_socket);
        return unique_fd();
    }

    unique_fd sock(::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
    if (!sock) {
        log_failure(failed_call::create_socket);
        return sock;
    }

    filtered = attach_filter(sock.get(), static_cast<std::uint16_t>(port), filter);

    sockaddr_in address = to_sockaddr(htonl(INADDR_ANY), static_cast<std::uint16_t>(port));
    if (::bind(sock.get(), reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        log_failure(failed_call::bind_socket);
        return unique_fd();
    }
    return sock;
}

bool udp_address_is_local(in_addr_t address)
{
    // Routing picks a local destination itself as the source address to
    // reach it, and one of this host's own addresses for any other.
    unique_fd probe(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP));
    sockaddr_in to = to_sockaddr(address, 9);
    sockaddr_in from{};
    socklen_t length = sizeof from;
    return probe &&
           ::connect(probe.get(), reinterpret_cast<const sockaddr *>(&to), sizeof to) == 0 &&
           ::getsockname(probe.get(), reinterpret_cast<sockaddr *>(&from), &length) == 0 &&
           from.sin_addr.s_addr == address;
}
