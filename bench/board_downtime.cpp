// Every moment down loses datagrams: the time from a SIGKILL of the relay on
// the emulated systemd board until a datagram sent from outside arrives
// again, with the unit as shipped and with its check emptied out, crash for
// crash in turn so that whatever else the board does falls on both. The
// board is slow and noisy, so the figures are printed, never judged.
// Usage: ostrivo-board-downtime DIR [CRASHES], DIR made by boards/board image systemd

#include "sandbox/board.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;

std::string on_board(const std::string &command)
{
    std::string output;
    if (sandbox_board_run(command, output) != 0)
        std::fprintf(stderr, "board-downtime: %s: %s\n", command.c_str(), output.c_str());
    return output;
}

// Kills the relay, then probes until a datagram is relayed again: the time
// between, in ms, or -1 when it is not back within 30 s.
long long downtime_after_kill(int sender, int dest, std::uint16_t port)
{
    sandbox_datagram got;
    if (!sandbox_board_bound(port))
        return -1;
    while (sandbox_receive(dest, got, 300)) {
    }
    std::string pid = on_board("systemctl show -p MainPID --value ostrivod");
    auto killed = clock_type::now();
    on_board("kill -KILL " + pid);
    while (clock_type::now() - killed < std::chrono::seconds(30)) {
        sandbox_send(sender, "probe", "198.18.1.1", port);
        if (sandbox_receive(dest, got, 100))
            return std::chrono::duration_cast<std::chrono::milliseconds>(clock_type::now() - killed)
                .count();
    }
    return -1;
}

void print(const char *what, std::vector<long long> times)
{
    std::sort(times.begin(), times.end());
    std::printf("%-22s median %6lld ms, %lld to %lld ms over %zu crashes\n", what,
                times[times.size() / 2], times.front(), times.back(), times.size());
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: %s DIR [CRASHES]\n", argv[0]);
        return 2;
    }
    const long crashes = argc == 3 ? std::strtol(argv[2], nullptr, 10) : 7;
    if (crashes < 1 || crashes > 100) {
        std::fprintf(stderr, "board-downtime: CRASHES is 1 to 100\n");
        return 2;
    }
    std::string why = sandbox_enter();
    if (!why.empty()) {
        std::fprintf(stderr, "board-downtime: %s\n", why.c_str());
        return 1;
    }
    const std::uint16_t port = sandbox_board_port();
    unique_fd dest = sandbox_udp_socket("dest1", port);
    unique_fd sender = sandbox_udp_socket("sender", 0);
    pid_t qemu = sandbox_board_start(argv[1]);
    if (qemu <= 0 || !sandbox_board_ready(600000)) {
        std::fprintf(stderr, "board-downtime: the board did not boot: see %s/console.log\n",
                     argv[1]);
        sandbox_stop(qemu);
        return 1;
    }
    const std::string drop_in = "/run/systemd/system/ostrivod.service.d";
    const std::string variants[] = {
        "rm -rf " + drop_in, "mkdir -p " + drop_in + " && printf '[Service]\\nExecStartPre=\\n' >" +
                                 drop_in + "/no-check.conf"};
    std::vector<long long> times[2]; // as shipped, without the check
    for (long i = 0; i < 2 * crashes; ++i) {
        on_board(variants[i % 2] +
                 " && systemctl daemon-reload && systemctl reset-failed ostrivod");
        long long down = downtime_after_kill(sender.get(), dest.get(), port);
        if (down < 0) {
            std::fprintf(stderr, "board-downtime: the relay was not back within 30 s\n");
            sandbox_stop(qemu);
            return 1;
        }
        times[i % 2].push_back(down);
    }
    sandbox_stop(qemu);
    print("as shipped:", times[0]);
    print("without the check:", times[1]);
    return 0;
}
