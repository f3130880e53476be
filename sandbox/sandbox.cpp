#include "sandbox.h"

#include "settings/settings.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

unique_fd log_listener;
unique_fd home_netns;
unique_fd board_shell;
std::string board_unread; // what the board's shell wrote past the last answer

constexpr const char *BOARD_SHELL = "/run/board-shell";

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
ip -n relay link set br-src up
ip -n relay link set br-dst up
)";

std::string failed(const char *what)
{
    return std::string(what) + ": " + std::strerror(errno);
}

bool enter_netns(const char *host)
{
    unique_fd netns(open((std::string("/run/netns/") + host).c_str(), O_RDONLY | O_CLOEXEC));
    return netns && setns(netns.get(), CLONE_NEWNET) == 0;
}

// Polls check every 10 ms until it holds or timeout_ms have passed.
template <typename Check> bool wait_until(int timeout_ms, Check check)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (check())
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

bool readable(int fd, int timeout_ms)
{
    pollfd entry{fd, POLLIN, 0};
    return poll(&entry, 1, timeout_ms) == 1;
}

} // namespace

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
    if (enter_netns("relay"))
        log_listener = unique_fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    setns(home_netns.get(), CLONE_NEWNET);
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

namespace {

// Has the kernel refuse setsockopt(SOL_SOCKET, SO_ATTACH_FILTER) with ENOMEM,
// as when a socket's option memory is spent, and allow everything else.
bool refuse_socket_filters()
{
    // The machines the sandbox runs on.
#if defined(__aarch64__)
    constexpr std::uint32_t ARCH = AUDIT_ARCH_AARCH64;
#else
    constexpr std::uint32_t ARCH = AUDIT_ARCH_X86_64;
#endif
    auto load = [](std::size_t offset) {
        return sock_filter{BPF_LD | BPF_W | BPF_ABS, 0, 0, static_cast<std::uint32_t>(offset)};
    };
    auto unless = [](std::uint32_t value, std::uint8_t skip) {
        return sock_filter{BPF_JMP | BPF_JEQ | BPF_K, 0, skip, value};
    };
    // The low half of each argument comes first: both machines are little-endian.
    sock_filter program[] = {
        load(offsetof(seccomp_data, arch)),
        unless(ARCH, 7),
        load(offsetof(seccomp_data, nr)),
        unless(__NR_setsockopt, 5),
        load(offsetof(seccomp_data, args[1])),
        unless(SOL_SOCKET, 3),
        load(offsetof(seccomp_data, args[2])),
        unless(SO_ATTACH_FILTER, 1),
        sock_filter{BPF_RET | BPF_K, 0, 0, SECCOMP_RET_ERRNO | ENOMEM},
        sock_filter{BPF_RET | BPF_K, 0, 0, SECCOMP_RET_ALLOW},
    };
    sock_fprog filter{static_cast<unsigned short>(std::size(program)), program};
    return prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) == 0;
}

} // namespace

pid_t sandbox_start(const std::vector<std::string> &command, int fill_descriptors,
                    bool refuse_filters)
{
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid != 0)
        return pid;

    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent || !enter_netns("relay"))
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
    if (refuse_filters && !refuse_socket_filters())
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
    wait_until(timeout_ms, [&] { return waitpid(pid, &status, WNOHANG) == pid; });
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

namespace {

// How /proc/net/udp writes the local port of a socket bound to port.
std::string udp_table_port(std::uint16_t port)
{
    char local[16];
    std::snprintf(local, sizeof local, ":%04X", port);
    return local;
}

// The queues of the socket bound to port, as /proc/PID/net/udp writes them
// ("TX:RX" in hexadecimal), or empty when there is none.
std::string udp_queues(pid_t pid, std::uint16_t port)
{
    std::string local = udp_table_port(port);
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
    return wait_until(timeout_ms, [&] { return !udp_queues(pid, port).empty(); });
}

bool sandbox_wait_drained(pid_t pid, std::uint16_t port, int timeout_ms)
{
    return wait_until(timeout_ms, [&] { return udp_queues(pid, port).ends_with(":00000000"); });
}

unique_fd sandbox_udp_socket(const char *host, std::uint16_t port)
{
    unique_fd sock;
    if (enter_netns(host))
        sock = unique_fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    setns(home_netns.get(), CLONE_NEWNET);
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
    if (!readable(sock, timeout_ms))
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

bool sandbox_next_record(sandbox_record &record, int timeout_ms)
{
    if (!readable(log_listener.get(), timeout_ms))
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

std::string sandbox_address_text(const sockaddr_in &address)
{
    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(address.sin_port));
}

pid_t sandbox_board_start(const std::string &dir)
{
    const char *const taps = "sh -c 'set -e; for side in src dst; do"
                             " ip -n relay addr flush dev br-$side;"
                             " ip -n relay tuntap add dev tap-$side mode tap;"
                             " ip -n relay link set tap-$side master br-$side up; done'";
    if (std::system(taps) != 0) // NOLINT(cert-env33-c): a fixed command
        return -1;
    std::vector<std::string> qemu = {"qemu-system-arm",
                                     "-M",
                                     "virt",
                                     "-cpu",
                                     "cortex-a15",
                                     "-smp",
                                     "2",
                                     "-m",
                                     "512",
                                     "-display",
                                     "none",
                                     "-monitor",
                                     "none",
                                     "-serial",
                                     "file:" + dir + "/console.log",
                                     "-kernel",
                                     dir + "/vmlinuz",
                                     "-initrd",
                                     dir + "/initrd.img",
                                     "-append",
                                     "root=/dev/vda rw console=ttyAMA0",
                                     "-drive",
                                     "file=" + dir +
                                         "/board.img,format=raw,if=none,id=disk,snapshot=on",
                                     "-device",
                                     "virtio-blk-device,drive=disk"};
    for (const char *side : {"src", "dst"}) {
        std::string mac = side == std::string("src") ? "52:54:00:00:01:01" : "52:54:00:00:02:01";
        qemu.insert(qemu.end(),
                    {"-netdev",
                     std::string("tap,script=no,downscript=no,id=") + side + ",ifname=tap-" + side,
                     "-device", std::string("virtio-net-device,netdev=") + side + ",mac=" + mac});
    }
    qemu.insert(qemu.end(),
                {"-chardev", std::string("socket,id=shell,server=on,wait=off,path=") + BOARD_SHELL,
                 "-device", "virtio-serial-device", "-device", "virtconsole,chardev=shell"});
    return sandbox_start(qemu);
}

namespace {

// Reads from the board's shell until a whole line that starts with marker
// has come; gives that line and what came before it, or false on time-out.
bool board_read_until(const std::string &marker, std::string &before, std::string &line,
                      int timeout_ms)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (std::size_t start = 0;;) {
        std::size_t end = board_unread.find('\n', start);
        if (end != std::string::npos) {
            if (board_unread.compare(start, marker.size(), marker) == 0) {
                before = board_unread.substr(0, start);
                line = board_unread.substr(start, end - start);
                board_unread.erase(0, end + 1);
                return true;
            }
            start = end + 1;
            continue;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !readable(board_shell.get(), static_cast<int>(left.count())))
            return false;
        char chunk[4096];
        ssize_t size = read(board_shell.get(), chunk, sizeof chunk);
        if (size <= 0)
            return false;
        board_unread.append(chunk, static_cast<std::size_t>(size));
    }
}

} // namespace

std::uint16_t sandbox_board_port()
{
    return static_cast<std::uint16_t>(
        settings_get_uint(settings_open(OSTRIVO_BOARD_SETTINGS, "r"), "MOD_OSTRIVO_PORT"));
}

bool sandbox_board_ready(int timeout_ms)
{
    // qemu makes its end of the console a moment after it starts.
    if (!wait_until(10000, [] {
            board_shell = unique_fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
            sockaddr_un address{};
            address.sun_family = AF_UNIX;
            std::snprintf(address.sun_path, sizeof address.sun_path, "%s", BOARD_SHELL);
            return connect(board_shell.get(), reinterpret_cast<sockaddr *>(&address),
                           sizeof address) == 0;
        }))
        return false;
    board_unread.clear();
    std::string before, line;
    return board_read_until("@@ ready", before, line, timeout_ms);
}

int sandbox_board_run(const std::string &command, std::string &output, int timeout_ms)
{
    // Each answer carries the number of its command, so that the late answer
    // of a command that timed out is not taken for the next one's.
    static unsigned long commands = 0;
    std::string marker = "@@ " + std::to_string(++commands) + " ";
    // A subshell, so that an exit in command ends only command.
    std::string wrapped =
        "( " + command + "\n) </dev/null 2>&1; s=$?; echo; echo \"" + marker + "$s\"\n";
    if (write(board_shell.get(), wrapped.data(), wrapped.size()) !=
        static_cast<ssize_t>(wrapped.size()))
        return -1;
    std::string line;
    output.clear();
    if (!board_read_until(marker, output, line, timeout_ms))
        return -1;
    // What came before is command's output, after any late answers of
    // earlier commands; its line ends go.
    std::size_t from = 0;
    for (std::size_t at = 0, end = 0; (end = output.find('\n', at)) != std::string::npos;
         at = end + 1)
        if (output.compare(at, 3, "@@ ") == 0)
            from = end + 1;
    output.erase(0, from);
    while (!output.empty() && (output.back() == '\n' || output.back() == '\r'))
        output.pop_back();
    return static_cast<int>(std::strtol(line.c_str() + marker.size(), nullptr, 10));
}

bool sandbox_board_until(const std::string &condition)
{
    std::string output;
    return sandbox_board_run("end=$(($(date +%s) + 60)); until " + condition +
                                 "; do [ $(date +%s) -lt $end ] || exit 1; sleep 0.5; done",
                             output, 120000) == 0;
}

bool sandbox_board_bound(std::uint16_t port)
{
    return sandbox_board_until("grep -q '" + udp_table_port(port) + " ' /proc/net/udp");
}
