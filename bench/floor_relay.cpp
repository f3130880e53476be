// The least a relay can do per datagram: one recvfrom and one sendto, with
// the same source filter and the same socket for both directions. The
// benchmark's floor. Usage: floor-relay SRC DST PORT
#include <cstdio>
#include <cstdlib>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

int main(int argc, char **argv)
{
    in_addr source{}, destination{};
    if (argc != 4 || inet_pton(AF_INET, argv[1], &source) != 1 ||
        inet_pton(AF_INET, argv[2], &destination) != 1) {
        std::fprintf(stderr, "usage: floor-relay SRC DST PORT\n");
        return 2;
    }
    auto port = static_cast<in_port_t>(std::strtol(argv[3], nullptr, 10));
    int sock = socket(AF_INET, SOCK_DGRAM, 0);
    int on = 1;
    setsockopt(sock, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    if (bind(sock, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0) {
        std::perror("bind");
        return 1;
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr = destination;

    static unsigned char buffer[65535];
    for (;;) {
        sockaddr_in from{};
        socklen_t length = sizeof from;
        ssize_t size =
            recvfrom(sock, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr *>(&from), &length);
        if (size < 0 || from.sin_addr.s_addr != source.s_addr)
            continue;
        sendto(sock, buffer, static_cast<std::size_t>(size), 0,
               reinterpret_cast<const sockaddr *>(&to), sizeof to);
    }
}
