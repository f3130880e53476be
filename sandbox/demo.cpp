// Runs ostrivod for real among throwaway namespace hosts: datagrams from the
// accepted host and from a foreign one, what arrived where, and the daemon's
// system log records. Everything vanishes when the demo ends.

#include <cstdio>
#include <string>

#include "sandbox/board.h"

namespace {

const char *const DEMO_SETTINGS = R"(# /opt/Ostrivo/etc/settings
MOD_OSTRIVO_ENABLED=1
MOD_OSTRIVO_SRC_IPADDR=198.18.1.2
MOD_OSTRIVO_DST_IPADDR="198.18.2.255"
MOD_OSTRIVO_PORT=5000
MOD_OSTRIVO_DOMAIN="example.net"
)";

void show_arrivals(const char *host, int sock)
{
    sandbox_datagram datagram;
    int count = 0;
    while (sandbox_receive(sock, datagram, 300)) {
        std::printf("  %-7s got %3zu bytes from %s: \"%s\"\n", host, datagram.payload.size(),
                    sandbox_address_text(datagram.from).c_str(), datagram.payload.c_str());
        ++count;
    }
    if (count == 0)
        std::printf("  %-7s got nothing\n", host);
}

} // namespace

int main(int argc, char **argv)
{
    bool board = argc == 3 && std::string(argv[1]) == "--board";
    if (argc != 2 && !board) {
        std::fprintf(stderr, "usage: %s PATH-TO-OSTRIVOD | --board DIR\n", argv[0]);
        return 2;
    }
    std::string why = sandbox_enter();
    if (!why.empty()) {
        std::fprintf(stderr, "demo: %s\n", why.c_str());
        return 1;
    }
    // The board's settings are in its image.
    const std::uint16_t port = board ? sandbox_board_port() : 5000;
    std::printf("Hosts:\n"
                "  sender  198.18.1.2 (accepted)    dest1 198.18.2.2\n"
                "  foreign 198.18.1.3               dest2 198.18.2.3\n"
                "  relay   198.18.1.1 and 198.18.2.1, running ostrivod%s\n\n",
                board ? " on an emulated armhf board" : "");
    unique_fd dest1 = sandbox_udp_socket("dest1", port);
    unique_fd dest2 = sandbox_udp_socket("dest2", port);
    unique_fd sender = sandbox_udp_socket("sender", 40000);
    unique_fd foreign = sandbox_udp_socket("foreign", 40000);
    pid_t pid = -1;
    std::string output;
    if (board) {
        std::printf("Booting the board (a minute or two)...\n");
        std::fflush(stdout);
        pid = sandbox_board_start(argv[2]);
        if (pid <= 0 || !sandbox_board_ready(600000) || !sandbox_board_bound(port)) {
            std::fprintf(stderr, "demo: the board did not come up: see %s/console.log\n", argv[2]);
            sandbox_stop(pid);
            return 1;
        }
        sandbox_board_run("cat /opt/Ostrivo/etc/settings", output);
        std::printf("Settings on the board:\n%s\n\n", output.c_str());
    } else {
        std::printf("Settings:\n%s\n", DEMO_SETTINGS);
        sandbox_write_settings(DEMO_SETTINGS);
        pid = sandbox_start(sandbox_daemon_command(argv[1]));
        if (!sandbox_wait_bound(pid, port, 5000)) {
            std::fprintf(stderr, "demo: ostrivod did not bind port %u\n", port);
            sandbox_stop(pid);
            return 1;
        }
    }

    std::printf("Sending to 198.18.1.1:%u:\n"
                "  sender  -> \"hello from the accepted host\"\n"
                "  foreign -> \"hello from a foreign host\"\n"
                "  sender  -> \"and goodbye\"\n\n",
                port);
    sandbox_send(sender.get(), "hello from the accepted host", "198.18.1.1", port);
    sandbox_send(foreign.get(), "hello from a foreign host", "198.18.1.1", port);
    sandbox_send(sender.get(), "and goodbye", "198.18.1.1", port);

    std::printf("Arrived:\n");
    show_arrivals("dest1", dest1.get());
    show_arrivals("dest2", dest2.get());
    show_arrivals("sender", sender.get());
    show_arrivals("foreign", foreign.get());

    if (board) {
        sandbox_board_run("journalctl -t Ostrivo --no-pager -o short-precise", output);
        std::printf("\nThe board's journal (journalctl -t Ostrivo):\n%s\n", output.c_str());
        sandbox_stop(pid);
        return 0;
    }
    sandbox_stop(pid);
    std::printf("\nSystem log (/dev/log) records:\n");
    sandbox_record record;
    const char *const levels[] = {"emerg",   "alert",  "crit", "err",
                                  "warning", "notice", "info", "debug"};
    while (sandbox_next_record(record, 200))
        std::printf("  <%d> %s.%s %s: %s\n", record.priority,
                    record.priority >> 3 == 3 ? "daemon" : "other", levels[record.priority & 7],
                    record.identity.c_str(), record.text.c_str());
    return 0;
}
