// Namespace hosts, the processes started in them, and the /dev/log listener.

#include "sandbox.h"

#include "internal.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

unique_fd log_listener;
unique_fd home_netns;

const char *const NETWORK_SCRIPT = R"(set -e
for host in relay sender foreign dest1 dest2; do
    ip netns add $host
    ip -n $host link set lo up
done
ip -n relay link add br-src type bridge
ip -n relay link add br-dst type bridge
ip -n relay addr add 198.18.1.1/24 brd + dev br-src
ip -n relay addr add 198.18.2.1/24 brd + dev br-dst
join() { # host bridge address
    ip -n relay link add port-$1 type veth peer name eth0 netns $1
    ip -n relay link set port-$1 master $2 up
    ip -n $1 addr add $3/24 brd + dev eth0
    ip -n $1 link set eth0 up
}
join sender br-src 198.18.1.2
join foreign br-src 198.18.1.3
join dest1 br-dst 198.18.2.2
join dest2 br-dst 198.18.2.3
# A host on the sources LAN without an address, as a DHCP client is.
ip netns add bare
ip -n bare link set lo up
ip -n relay link add port-bare type veth peer name eth0 netns bare
ip -n relay link set port-bare master br-src up
ip -n bare link set eth0 up
ip -n relay link set br-src up
ip -n relay link set br-dst up
)";

std::string failed(const char *what)
{
    return std::string(what) + ": " + std::strerror(errno);
}

} // namespace

bool sandbox_enter_host(const char *host)
{
    unique_fd netns(open((std::string("/run/netns/") + host).c_str(), O_RDONLY | O_CLOEXEC));
    return netns && setns(netns.get(), CLONE_NEWNET) == 0;
}

void sandbox_leave_host()
{
    setns(home_netns.get(), CLONE_NEWNET);
}

bool sandbox_readable(int fd, int timeout_ms)
{
    pollfd entry{fd, POLLIN, 0};
    return poll(&entry, 1, timeout_ms) == 1;
}

std::string sandbox_enter()
{
    static bool entered = false;
    if (entered)
        return "";
    if (geteuid() != 0)
        return "needs root";
    if (std::system("ip -V >/dev/null 2>&1") != 0) // NOLINT(cert-env33-c): a fixed command
        return "needs ip(8) from iproute2";
    if (unshare(CLONE_NEWNS) != 0)
        return failed("unshare");
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return failed("make / private");
    if (mount("sandbox", "/opt", "tmpfs", 0, "mode=755") != 0 ||
        mount("sandbox", "/run", "tmpfs", 0, "mode=755") != 0)
        return failed("mount tmpfs");
    mkdir("/run/dev", 0755);
    mkdir("/run/dev/upper", 0755);
    mkdir("/run/dev/work", 0755);
    if (mount("sandbox", "/dev", "overlay", 0,
              "lowerdir=/dev,upperdir=/run/dev/upper,workdir=/run/dev/work") != 0)
        return failed("mount overlay on /dev");
    mkdir("/opt/Ostrivo", 0755);
    mkdir("/opt/Ostrivo/etc", 0755);

    home_netns = unique_fd(open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC));
    if (!home_netns)
        return failed("open own network namespace");
    std::string command = std::string("sh -c '") + NETWORK_SCRIPT + "'";
    if (std::system(command.c_str()) != 0) // NOLINT(cert-env33-c): the fixed network script
        return "setting up the namespace hosts failed";

    // Made in a fresh network namespace, the listener queues the kernel's
    // default of 10 records, as on a board without systemd, whatever this
    // machine's net.unix.max_dgram_qlen.
    if (sandbox_enter_host("relay"))
        log_listener = unique_fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sandbox_leave_host();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, "/dev/log");
    unlink(address.sun_path);
    if (!log_listener ||
        bind(log_listener.get(), reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
        return failed("bind /dev/log");
    // As on a real system, any user may log.
    chmod(address.sun_path, 0666);
    entered = true;
    return "";
}

void sandbox_write_settings(const std::string &content)
{
    std::ofstream("/opt/Ostrivo/etc/settings", std::ios::binary | std::ios::trunc) << content;
}

std::vector<std::string> sandbox_daemon_command(const std::string &words)
{
    std::vector<std::string> command;
    std::istringstream split(words);
    for (std::string word; split >> word;)
        command.push_back(word);
    return command;
}

pid_t sandbox_start(const std::vector<std::string> &command, int fill_descriptors,
                    bool refuse_filters)
{
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid != 0)
        return pid;

    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent || !sandbox_enter_host("relay"))
        _exit(126);
    if (fill_descriptors > 0) {
        rlimit limit{};
        getrlimit(RLIMIT_NOFILE, &limit);
        limit.rlim_cur = limit.rlim_max = static_cast<rlim_t>(fill_descriptors) + 64;
        setrlimit(RLIMIT_NOFILE, &limit);
        // Close-on-exec descriptors would leave gaps, so every slot is
        // overwritten.
        int null = open("/dev/null", O_RDWR);
        for (int fd = 0; fd < fill_descriptors; ++fd)
            if (fd != null)
                dup2(null, fd);
    }
    if (refuse_filters && !sandbox_refuse_socket_filters())
        _exit(125);
    std::vector<char *> argv;
    argv.reserve(command.size() + 1);
    for (const std::string &word : command)
        argv.push_back(const_cast<char *>(word.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
}

int sandbox_wait_exit(pid_t pid, int timeout_ms)
{
    int status = -1;
    sandbox_wait_until(timeout_ms, [&] { return waitpid(pid, &status, WNOHANG) == pid; });
    return status;
}

int sandbox_stop(pid_t pid)
{
    kill(pid, SIGTERM);
    int status = sandbox_wait_exit(pid, 2000);
    if (status == -1) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    return status;
}

std::string sandbox_status(pid_t pid, const std::string &field)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with(field + ":"))
            return line.substr(line.find_first_not_of(" \t", field.size() + 1));
    return "";
}

std::uint64_t sandbox_udp_counter(pid_t pid, const std::string &name)
{
    std::ifstream snmp("/proc/" + std::to_string(pid) + "/net/snmp");
    std::string names, values;
    while (std::getline(snmp, names) && std::getline(snmp, values)) {
        if (!names.starts_with("Udp:"))
            continue;
        std::istringstream name_list(names), value_list(values);
        std::string field, value;
        while (name_list >> field && value_list >> value)
            if (field == name)
                return std::stoull(value);
    }
    return 0;
}

bool sandbox_next_record(sandbox_record &record, int timeout_ms)
{
    if (!sandbox_readable(log_listener.get(), timeout_ms))
        return false;
    char raw[4096];
    ssize_t size = recv(log_listener.get(), raw, sizeof raw - 1, 0);
    if (size < 0)
        return false;
    std::string text(raw, static_cast<std::size_t>(size));
    // "<PRI>Mmm dd hh:mm:ss IDENTITY: TEXT"
    std::size_t close = text.find('>');
    std::size_t colon = text.find(": ", close);
    if (text[0] != '<' || close == std::string::npos || colon == std::string::npos ||
        colon < close + 17) {
        record = {-1, "", text};
        return true;
    }
    record.priority = static_cast<int>(std::strtol(text.c_str() + 1, nullptr, 10));
    record.identity = text.substr(close + 17, colon - close - 17);
    record.text = text.substr(colon + 2);
    return true;
}
