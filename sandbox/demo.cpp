// Runs ostrivod for real among throwaway namespace hosts: datagrams from the
// accepted host and from a foreign one, what arrived where, and the daemon's
// system log records. Everything vanishes when the demo ends.

#include <cstdio>
#include <string>

#include "sandbox.h"

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
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s PATH-TO-OSTRIVOD\n", argv[0]);
        return 2;
    }
    std::string why = sandbox_enter();
    if (!why.empty()) {
        std::fprintf(stderr, "demo: %s\n", why.c_str());
        return 1;
    }
    std::printf("Hosts:\n"
                "  sender  198.18.1.2 (accepted)    dest1 198.18.2.2\n"
                "  foreign 198.18.1.3               dest2 198.18.2.3\n"
                "  relay   198.18.1.1 and 198.18.2.1, running ostrivod\n\n"
                "Settings:\n%s\n",
                DEMO_SETTINGS);
    sandbox_write_settings(DEMO_SETTINGS);

    unique_fd dest1 = sandbox_udp_socket("dest1", 5000);
    unique_fd dest2 = sandbox_udp_socket("dest2", 5000);
    unique_fd sender = sandbox_udp_socket("sender", 40000);
    unique_fd foreign = sandbox_udp_socket("foreign", 40000);
    pid_t pid = sandbox_start(sandbox_daemon_command(argv[1]));
    if (!sandbox_wait_bound(pid, 5000, 5000)) {
        std::fprintf(stderr, "demo: ostrivod did not bind port 5000\n");
        sandbox_stop(pid);
        return 1;
    }

    std::printf("Sending to 198.18.1.1:5000:\n"
                "  sender  -> \"hello from the accepted host\"\n"
                "  foreign -> \"hello from a foreign host\"\n"
                "  sender  -> \"and goodbye\"\n\n");
    sandbox_send(sender.get(), "hello from the accepted host", "198.18.1.1", 5000);
    sandbox_send(foreign.get(), "hello from a foreign host", "198.18.1.1", 5000);
    sandbox_send(sender.get(), "and goodbye", "198.18.1.1", 5000);

    std::printf("Arrived:\n");
    show_arrivals("dest1", dest1.get());
    show_arrivals("dest2", dest2.get());
    show_arrivals("sender", sender.get());
    show_arrivals("foreign", foreign.get());
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
