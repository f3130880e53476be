// The daemon's UDP socket and the owner that holds it.
#pragma once

#include <cstdint>
#include <utility>

#include <netinet/in.h>
#include <unistd.h>

// Owns one descriptor. close() is never retried: on Linux the descriptor is
// released even when close reports an error. errno survives the close, so a
// failure can be logged after the descriptor is given up.
class unique_fd {
  public:
    unique_fd() = default;
    explicit unique_fd(int fd) noexcept : fd_(fd) {}
    unique_fd(unique_fd &&other) noexcept : fd_(other.release()) {}
    unique_fd &operator=(unique_fd &&other) noexcept
    {
        reset(other.release());
        return *this;
    }
    unique_fd(const unique_fd &) = delete;
    unique_fd &operator=(const unique_fd &) = delete;
    ~unique_fd() { reset(); }

    int get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }
    int release() noexcept { return std::exchange(fd_, -1); }
    void reset(int fd = -1) noexcept;

  private:
    int fd_ = -1;
};

// Which datagrams the kernel lets through to the relay's socket: those from
// source, but none of the relay's own output come back, which relayed again
// would circle for ever. It comes back looped back, through lo, or as a
// broadcast that a second interface on the destination's LAN receives. No
// other socket can send from the relay's port, so where source is a local
// address, every datagram from it and the port is the relay's own and
// dropped; otherwise only one looped back or come through lo. Other ports
// and other hosts pass.
struct udp_filter {
    in_addr_t source;
    bool source_is_local;
};

// An IPv4 UDP socket bound to port on all local addresses, or an empty owner
// after logging why not. A port above 65535 is refused with EINVAL. The
// filter is attached before the bind, so nothing is ever queued unfiltered;
// filtered says whether the kernel took it. Refused, it is logged and the
// socket is returned all the same.
unique_fd udp_socket_open(std::uint32_t port, const udp_filter &filter, bool &filtered);

// The socket address of IPv4 address (in network order) and port.
inline sockaddr_in to_sockaddr(in_addr_t address, std::uint16_t port)
{
    return {.sin_family = AF_INET,
            .sin_port = htons(port),
            .sin_addr = {.s_addr = address},
            .sin_zero = {}};
}
// Whether address is one of this host's own, that is, whether the kernel
// would answer a datagram sent to it locally.
bool udp_address_is_local(in_addr_t address);
