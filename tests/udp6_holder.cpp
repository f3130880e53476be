// udp6_holder PORT: holds UDP port PORT on [::] until killed, dual-stack as
// Linux makes such a socket by default, so that it holds the IPv4 port too.

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    if (argc != 2)
        return 2;
    int sock = socket(AF_INET6, SOCK_DGRAM, 0);
    int v6only = 0;
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(static_cast<std::uint16_t>(std::strtoul(argv[1], nullptr, 10)));
    if (sock < 0 || setsockopt(sock, IPPROTO_IPV6, IPV6_V6ONLY, &v6only, sizeof v6only) != 0 ||
        bind(sock, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        std::perror("udp6_holder");
        return 1;
    }
    pause();
}
