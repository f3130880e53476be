// What the check asks of the host: the file's modes along its path, this
// host's own addresses, and whether the relay's port is free.

#include <cerrno>
#include <chrono>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "check/internal.h"
#include "net/net.h"

std::string check_closed_to_others(const char *path)
{
    std::string full = path;
    if (!full.starts_with('/')) {
        char here[4096];
        if (getcwd(here, sizeof here) == nullptr)
            return "";
        full = std::string(here) + "/" + full;
    }
    struct stat status {};
    for (std::size_t slash = 0; slash != std::string::npos; slash = full.find('/', slash + 1)) {
        std::string folder = slash == 0 ? "/" : full.substr(0, slash);
        if (::stat(folder.c_str(), &status) == 0 && (status.st_mode & S_IXOTH) == 0)
            return "let others search the folder " + check_quote(folder) + " (chmod o+x " +
                   check_escape(folder, true) + ")";
    }
    if (::stat(full.c_str(), &status) == 0 && (status.st_mode & S_IROTH) == 0)
        return "make it readable by others (chmod o+r " + check_escape(full, true) + ")";
    return "";
}

bool check_address_is_own(ipv4_host address)
{
    return udp_address_is_local(htonl(address));
}

namespace {

// Whether another socket holds port, as the daemon would find it: bound to
// all addresses, without address reuse. A port this process may not bind
// (below 1024, without the capability) is not known to be held.
bool is_port_held(std::uint32_t port)
{
    unique_fd sock(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP));
    sockaddr_in address = to_sockaddr(htonl(INADDR_ANY), static_cast<std::uint16_t>(port));
    return sock &&
           ::bind(sock.get(), reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0 &&
           errno == EADDRINUSE;
}

} // namespace

bool check_port_frees(std::uint32_t port, unsigned seconds)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (is_port_held(port)) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return true;
}
