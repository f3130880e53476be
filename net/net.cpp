#include "net.h"

#include <cerrno>
#include <cstring>

#include <netinet/in.h>
#include <sys/socket.h>
#include <syslog.h>

void unique_fd::reset(int fd) noexcept
{
    if (fd_ >= 0) {
        int saved = errno;
        ::close(fd_);
        errno = saved;
    }
    fd_ = fd;
}

unique_fd udp_socket_open(std::uint32_t port)
{
    // Binding only the low 16 bits would listen, and later send, on a port
    // nobody configured.
    if (port > UINT16_MAX) {
        errno = EINVAL;
        syslog(LOG_ERR, "bind socket error: %s", std::strerror(errno));
        return unique_fd();
    }

    unique_fd sock(::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
    if (!sock) {
        syslog(LOG_ERR, "create socket error: %s", std::strerror(errno));
        return sock;
    }

    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    if (::bind(sock.get(), reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        syslog(LOG_ERR, "bind socket error: %s", std::strerror(errno));
        return unique_fd();
    }
    return sock;
}
