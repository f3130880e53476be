// The emulated board of boards/board, booted under qemu among the
// namespace hosts, and the shell on its virtio console.

#include "sandbox/board.h"

// The board stands in for a namespace host, with the sandbox's own helpers.
#include "sandbox/internal.h"
#include "settings/settings.h"

#include <cstdio>
#include <cstdlib>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

unique_fd board_shell;
std::string board_unread; // what the board's shell wrote past the last answer

constexpr const char *BOARD_SHELL = "/run/board-shell";

} // namespace

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
                                     dir + "/initrd.img"};
    // A Debian board's root is on its disk; the BusyBox board's is its
    // initramfs.
    if (access((dir + "/board.img").c_str(), F_OK) == 0)
        qemu.insert(qemu.end(),
                    {"-append", "root=/dev/vda rw console=ttyAMA0", "-drive",
                     "file=" + dir + "/board.img,format=raw,if=none,id=disk,snapshot=on", "-device",
                     "virtio-blk-device,drive=disk"});
    else
        qemu.insert(qemu.end(), {"-append", "console=ttyAMA0"});
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
        if (left.count() <= 0 ||
            !sandbox_readable(board_shell.get(), static_cast<int>(left.count())))
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
    if (!sandbox_wait_until(10000, [] {
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
    return sandbox_board_until("grep -q '" + sandbox_udp_table_port(port) + " ' /proc/net/udp");
}
