// The real ostrivod, run as root among namespace hosts, judged by what
// arrives where and by every record it sends to the system log.

#include "sandbox/sandbox.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// The command that starts the daemon under test: --daemon="WORDS", else
// $OSTRIVOD, else this build's daemon.
const char *daemon_command = OSTRIVOD_BUILT;

constexpr std::uint16_t PORT = 5000;
constexpr int NOTICE = 3 << 3 | 5; // LOG_DAEMON | LOG_NOTICE
constexpr int ERROR = 3 << 3 | 3;  // LOG_DAEMON | LOG_ERR

std::string settings(const char *src, const char *dst, const char *port)
{
    return std::string("MOD_OSTRIVO_ENABLED=1\nMOD_OSTRIVO_SRC_IPADDR=") + src +
           "\nMOD_OSTRIVO_DST_IPADDR=" + dst + "\nMOD_OSTRIVO_PORT=" + port + "\n";
}

std::string random_bytes(std::size_t size, unsigned seed)
{
    std::mt19937 generate(seed);
    std::string bytes(size, '\0');
    for (char &byte : bytes)
        byte = static_cast<char>(generate());
    return bytes;
}

class Relay : public ::testing::Test {
  protected:
    void SetUp() override
    {
        std::string why = sandbox_enter();
        if (why.empty())
            return;
        if (std::getenv("OSTRIVO_REQUIRE_INTEGRATION") != nullptr)
            FAIL() << why;
        GTEST_SKIP() << why;
    }

    // Every record the daemon sent must have been expected by the test.
    void TearDown() override
    {
        if (IsSkipped())
            return;
        stop();
        sandbox_record extra;
        while (sandbox_next_record(extra, 100))
            ADD_FAILURE() << "unexpected record <" << extra.priority << ">" << extra.identity
                          << ": " << extra.text;
    }

    void stop()
    {
        if (pid_ <= 0)
            return;
        int status = sandbox_stop(pid_);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM)
            << "the daemon ended before it was stopped: wait status " << status;
        pid_ = -1;
    }

    void start(const std::string &content, int fill_descriptors = 0)
    {
        sandbox_write_settings(content);
        launch(fill_descriptors);
    }

    void launch(int fill_descriptors = 0)
    {
        std::vector<std::string> command = run_as_;
        for (std::string &word : sandbox_daemon_command(daemon_command))
            command.push_back(std::move(word));
        pid_ = sandbox_start(command, fill_descriptors, refuse_filters_);
        ASSERT_GT(pid_, 0);
        expect_record(NOTICE, "started");
    }

    void start_relaying(const std::string &content)
    {
        ASSERT_NO_FATAL_FAILURE(start(content));
        ASSERT_TRUE(sandbox_wait_bound(pid_, PORT, 5000));
    }

    void expect_record(int priority, const std::string &text) const
    {
        sandbox_record record;
        ASSERT_TRUE(sandbox_next_record(record, 5000)) << "no record \"" << text << "\"";
        EXPECT_EQ(record.priority, priority);
        EXPECT_EQ(record.identity, "Ostrivo[" + std::to_string(pid_) + "]");
        EXPECT_EQ(record.text, text);
    }

    void expect_exit_status_1()
    {
        int status = sandbox_wait_exit(pid_, 5000);
        pid_ = -1;
        ASSERT_TRUE(WIFEXITED(status)) << "wait status " << status;
        EXPECT_EQ(WEXITSTATUS(status), 1);
    }

    // The next datagram at sock must be payload, sent from the relay's port.
    static void expect_relayed(int sock, const std::string &payload, std::uint16_t port = PORT)
    {
        sandbox_datagram got;
        ASSERT_TRUE(sandbox_receive(sock, got, 3000)) << payload.size() << " bytes never arrived";
        EXPECT_EQ(sandbox_address_text(got.from), "198.18.2.1:" + std::to_string(port));
        EXPECT_EQ(got.payload.size(), payload.size());
        EXPECT_TRUE(got.payload == payload) << "payload altered";
    }

    static void expect_nothing(int sock)
    {
        sandbox_datagram got;
        EXPECT_FALSE(sandbox_receive(sock, got, 200)) << "unexpected " << got.payload;
    }

    void expect_own_output_dropped(bool filter_refused);

    std::vector<std::string> run_as_; // words put before the daemon's command
    bool refuse_filters_ = false;
    pid_t pid_ = -1;
};

TEST_F(Relay, ForwardsFromTheSourceHostWhateverItsPort)
{
    unique_fd dest1 = sandbox_udp_socket("dest1", PORT);
    unique_fd dest2 = sandbox_udp_socket("dest2", PORT);
    unique_fd one = sandbox_udp_socket("sender", 40000);
    unique_fd other = sandbox_udp_socket("sender", 0);
    // Key case, quoting and a disabled module do not change relaying.
    ASSERT_NO_FATAL_FAILURE(start_relaying("mod_ostrivo_enabled=0\n" +
                                           settings("\"198.18.1.2\"", "198.18.2.2", "5000")));
    EXPECT_EQ(getsid(pid_), pid_) << "the daemon leads its own session";

    ASSERT_TRUE(sandbox_send(one.get(), "first", "198.18.1.1", PORT));
    ASSERT_TRUE(sandbox_send(other.get(), "second", "198.18.1.1", PORT));
    expect_relayed(dest1.get(), "first");
    expect_relayed(dest1.get(), "second");
    expect_nothing(dest2.get());
}

TEST_F(Relay, DropsOtherHostsSilently)
{
    unique_fd dest1 = sandbox_udp_socket("dest1", PORT);
    unique_fd foreign = sandbox_udp_socket("foreign", PORT);
    unique_fd sender = sandbox_udp_socket("sender", PORT);
    ASSERT_NO_FATAL_FAILURE(start_relaying(settings("198.18.1.2", "198.18.2.2", "5000")));

    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(sandbox_send(foreign.get(), "intruder", "198.18.1.1", PORT));
    // The relay handles datagrams in order, so a relayed intruder would come
    // before the marker.
    ASSERT_TRUE(sandbox_send(sender.get(), "marker", "198.18.1.1", PORT));
    expect_relayed(dest1.get(), "marker");
    expect_nothing(dest1.get());
}

// Whether the check says the daemon will relay with a file, and whether it
// does: a datagram from the source host, or from a host without an address
// for a source of 0.0.0.0, reaches the destination's LAN.
TEST_F(Relay, TheChecksVerdictIsWhatTheDaemonDoes)
{
    unique_fd dest1 = sandbox_udp_socket("dest1", PORT);
    struct {
        const char *src, *dst, *from;
        int check;
        bool relays;
    } const cases[] = {
        {"198.18.1.2", "198.18.2.255", "sender", 0, true},
        {"198.18.1.2", "127.0.0.1", "sender", 1, false},
        {"198.18.1.2", "198.18.2.1", "sender", 1, false}, // the relay's own address
        {"198.18.1.2", "0.1.2.3", "sender", 1, false},
        {"0.0.0.0", "198.18.2.255", "bare", 0, true},
    };
    for (const auto &each : cases) {
        SCOPED_TRACE(std::string(each.src) + " to " + each.dst);
        std::string content = settings(each.src, each.dst, "5000");
        sandbox_write_settings(content);
        pid_t check = sandbox_start({OSTRIVOD_CHECK_BUILT, "-q", "/opt/Ostrivo/etc/settings"});
        int status = sandbox_wait_exit(check, 5000);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == each.check) << status;

        ASSERT_NO_FATAL_FAILURE(start_relaying(content));
        unique_fd from = sandbox_udp_socket(each.from, 0);
        int on = 1;
        setsockopt(from.get(), SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
        setsockopt(from.get(), SOL_SOCKET, SO_BINDTODEVICE, "eth0", 5);
        ASSERT_TRUE(sandbox_send(from.get(), "verdict", "255.255.255.255", PORT));
        if (each.relays)
            expect_relayed(dest1.get(), "verdict");
        else
            expect_nothing(dest1.get());
        stop();
        // Sent nowhere, a datagram is a failed send, as it should be.
        for (sandbox_record record; sandbox_next_record(record, 100);)
            EXPECT_TRUE(!each.relays && record.text.starts_with("send error: ")) << record.text;
    }
}

TEST_F(Relay, BroadcastsWholeDatagramsOfEverySizeToTheSubnet)
{
    unique_fd dest1 = sandbox_udp_socket("dest1", PORT);
    unique_fd dest2 = sandbox_udp_socket("dest2", PORT);
    unique_fd sender = sandbox_udp_socket("sender", 0);
    ASSERT_NO_FATAL_FAILURE(start_relaying(settings("198.18.1.2", "198.18.2.255", "5000")));

    const std::vector<std::string> payloads = {"",
                                               "x",
                                               random_bytes(1024, 1),
                                               random_bytes(1025, 2),
                                               random_bytes(8000, 3),
                                               random_bytes(65507, 4)};
    for (const std::string &payload : payloads) {
        ASSERT_TRUE(sandbox_send(sender.get(), payload, "198.18.1.1", PORT));
        expect_relayed(dest1.get(), payload);
        expect_relayed(dest2.get(), payload);
    }
}

TEST_F(Relay, LogsEachFailedSendAndRelaysOn)
{
    unique_fd sender = sandbox_udp_socket("sender", 0);
    // No route leads to this destination.
    ASSERT_NO_FATAL_FAILURE(start_relaying(settings("198.18.1.2", "198.19.0.1", "5000")));

    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(sandbox_send(sender.get(), "lost", "198.18.1.1", PORT));
        expect_record(ERROR, "send error: Network is unreachable");
    }
    EXPECT_EQ(waitpid(pid_, nullptr, WNOHANG), 0) << "the daemon must keep running";
}

void link(const char *state)
{
    std::string command = std::string("ip -n relay link set br-dst ") + state;
    ASSERT_EQ(std::system(command.c_str()), 0); // NOLINT(cert-env33-c): a fixed command
}

// A log reader that does not read (a hung journald, a stopped syslogd) must
// never stop the relay: records it cannot take are dropped, and the next one
// that reaches it says how many were lost.
TEST_F(Relay, RelaysOnWhileTheLogReaderStalls)
{
    constexpr int FAILED = 200, AFTER = 20;
    unique_fd dest1 = sandbox_udp_socket("dest1", PORT);
    unique_fd sender = sandbox_udp_socket("sender", 0);
    ASSERT_NO_FATAL_FAILURE(start_relaying(settings("198.18.1.2", "198.18.2.2", "5000")));

    // Each of these fails to send and is logged, far beyond what the log's
    // queue holds, while nobody reads it.
    ASSERT_NO_FATAL_FAILURE(link("down"));
    for (int i = 0; i < FAILED; ++i) {
        ASSERT_TRUE(sandbox_send(sender.get(), "unsent", "198.18.1.1", PORT));
        if (i % 50 == 49) {
            ASSERT_TRUE(sandbox_wait_drained(pid_, PORT, 10000)) << "the relay is stuck";
        }
    }
    usleep(300000); // the last one, received, is sent and logged
    ASSERT_NO_FATAL_FAILURE(link("up"));
    for (int i = 0; i < AFTER; ++i)
        ASSERT_TRUE(sandbox_send(sender.get(), "after " + std::to_string(i), "198.18.1.1", PORT));
    for (int i = 0; i < AFTER; ++i)
        expect_relayed(dest1.get(), "after " + std::to_string(i));

    int logged = 0;
    sandbox_record record;
    while (sandbox_next_record(record, 300)) {
        EXPECT_EQ(record.priority, ERROR);
        EXPECT_EQ(record.identity, "Ostrivo[" + std::to_string(pid_) + "]");
        EXPECT_EQ(record.text, "send error: Network is unreachable");
        ++logged;
    }
    EXPECT_GT(logged, 0);
    EXPECT_LT(logged, FAILED);
    // The next record is preceded by the count of those lost.
    ASSERT_NO_FATAL_FAILURE(link("down"));
    ASSERT_TRUE(sandbox_send(sender.get(), "unsent", "198.18.1.1", PORT));
    expect_record(ERROR, "log error: " + std::to_string(FAILED - logged) +
                             " records lost: Resource temporarily unavailable");
    expect_record(ERROR, "send error: Network is unreachable");
    ASSERT_NO_FATAL_FAILURE(link("up"));
}

// Stopped, the relay cannot drain its socket. Foreign datagrams meanwhile,
// many times what its receive queue holds, must not take the places that the
// source's datagrams need.
TEST_F(Relay, ForeignFloodCannotCrowdOutTheSource)
{
    unique_fd dest1 = sandbox_udp_socket("dest1", PORT);
    unique_fd sender = sandbox_udp_socket("sender", 0);
    unique_fd foreign = sandbox_udp_socket("foreign", 0);
    ASSERT_NO_FATAL_FAILURE(start_relaying(settings("198.18.1.2", "198.18.2.2", "5000")));

    ASSERT_EQ(kill(pid_, SIGSTOP), 0);
    const std::string flood(1400, 'f');
    for (int i = 0; i < 1000; ++i)
        ASSERT_TRUE(sandbox_send(foreign.get(), flood, "198.18.1.1", PORT));
    for (char n : {'1', '2', '3'})
        ASSERT_TRUE(sandbox_send(sender.get(), std::string("accepted ") + n, "198.18.1.1", PORT));
    ASSERT_EQ(kill(pid_, SIGCONT), 0);
    for (char n : {'1', '2', '3'})
        expect_relayed(dest1.get(), std::string("accepted ") + n);
    expect_nothing(dest1.get());
}

// The relay's own output comes back to its socket (udp_filter in net/net.h
// tells how): a broadcast's looped-back copy, or through lo.
void Relay::expect_own_output_dropped(bool filter_refused)
{
    unique_fd dest1 = sandbox_udp_socket("dest1", PORT);
    unique_fd dest2 = sandbox_udp_socket("dest2", PORT);
    unique_fd producer = sandbox_udp_socket("relay", 0);
    struct {
        const char *source, *destination;
    } const loops[] = {{"198.18.2.1", "198.18.2.255"}, {"127.0.0.1", "0.0.0.0"}};
    for (const auto &loop : loops) {
        SCOPED_TRACE(loop.destination);
        ASSERT_NO_FATAL_FAILURE(start_relaying(settings(loop.source, loop.destination, "5000")));
        if (filter_refused)
            expect_record(ERROR, "attach filter error: Cannot allocate memory");
        std::uint64_t sent = sandbox_udp_counter(pid_, "OutDatagrams");
        ASSERT_TRUE(sandbox_send(producer.get(), "once", loop.source, PORT));
        if (std::string_view(loop.destination).ends_with(".255")) {
            expect_relayed(dest1.get(), "once");
            expect_relayed(dest2.get(), "once");
        }
        expect_nothing(dest1.get());
        expect_nothing(dest2.get());
        // The producer's datagram and the relay's one copy of it.
        EXPECT_EQ(sandbox_udp_counter(pid_, "OutDatagrams") - sent, 2u);
        stop();
    }
}

TEST_F(Relay, NeverRelaysItsOwnOutput)
{
    expect_own_output_dropped(false);
}

TEST_F(Relay, NeverRelaysItsOwnOutputWhenTheKernelRefusesItsFilter)
{
    refuse_filters_ = true;
    expect_own_output_dropped(true);
}

// Two interfaces of the relay's host on one LAN, and accept_local: the
// relay's broadcast comes back through the second one as an ordinary
// broadcast from the host's own address. With that address as the source
// (a producer on the board), relaying it again would flood the LAN.
TEST_F(Relay, NeverRelaysItsOwnBroadcastComingBackOnASecondInterface)
{
    // NOLINTNEXTLINE(cert-env33-c): a fixed command
    ASSERT_EQ(std::system("ip -n relay link add second type veth peer name port-second &&"
                          " ip -n relay link set port-second master br-dst up &&"
                          " ip -n relay addr add 198.18.2.9/32 dev second &&"
                          " ip -n relay link set second up &&"
                          " ip netns exec relay sysctl -qw net.ipv4.conf.all.accept_local=1"),
              0);
    unique_fd dest1 = sandbox_udp_socket("dest1", PORT);
    unique_fd dest2 = sandbox_udp_socket("dest2", PORT);
    unique_fd producer = sandbox_udp_socket("relay", 0);
    ASSERT_NO_FATAL_FAILURE(start_relaying(settings("198.18.2.1", "198.18.2.255", "5000")));
    std::uint64_t sent = sandbox_udp_counter(pid_, "OutDatagrams");
    ASSERT_TRUE(sandbox_send(producer.get(), "once", "198.18.2.1", PORT));
    expect_relayed(dest1.get(), "once");
    expect_relayed(dest2.get(), "once");
    expect_nothing(dest1.get());
    expect_nothing(dest2.get());
    EXPECT_EQ(sandbox_udp_counter(pid_, "OutDatagrams") - sent, 2u);
}

// What the systemd unit gives it: a user of its own, no supplementary groups,
// and only the capability to bind a port below 1024.
TEST_F(Relay, RelaysUnprivilegedWithOnlyTheRightToBindALowPort)
{
    constexpr std::uint16_t LOW_PORT = 700;
    run_as_ = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
               "--inh-caps=-all,+net_bind_service", "--ambient-caps=-all,+net_bind_service",
               "--bounding-set=-all,+net_bind_service", "--no-new-privs",
               // The uid change clears the kill-on-parent-death that the
               // sandbox set: set it again.
               "--pdeathsig=KILL"};
    unique_fd dest2 = sandbox_udp_socket("dest2", LOW_PORT);
    unique_fd sender = sandbox_udp_socket("sender", 0);
    ASSERT_NO_FATAL_FAILURE(start(settings("198.18.1.2", "198.18.2.255", "700")));
    ASSERT_TRUE(sandbox_wait_bound(pid_, LOW_PORT, 5000));
    EXPECT_EQ(sandbox_status(pid_, "Uid"), "65534\t65534\t65534\t65534");
    EXPECT_EQ(sandbox_status(pid_, "CapEff"), "0000000000000400"); // CAP_NET_BIND_SERVICE alone

    ASSERT_TRUE(sandbox_send(sender.get(), "low", "198.18.1.1", LOW_PORT));
    expect_relayed(dest2.get(), "low", LOW_PORT);
}

long resident_kb(pid_t pid)
{
    return std::strtol(sandbox_status(pid, "VmRSS").c_str(), nullptr, 10);
}

bool largest_soak_datagram(std::uint32_t n)
{
    return n % 997 == 0;
}

// Datagram n: its number, then bytes from a pool at an offset that moves
// with n. Mostly small, every 64th 8000 bytes, every 997th the largest.
std::string soak_datagram(std::uint32_t n, const std::string &pool)
{
    std::size_t size = largest_soak_datagram(n) ? 65507
                       : n % 64 == 0            ? 8000
                                                : 4 + (n * 2654435761u) % 1469;
    std::string datagram(reinterpret_cast<const char *>(&n), sizeof n);
    return datagram + pool.substr(n % 4093, size - sizeof n);
}

// Windows of accepted datagrams with foreign ones among them; each window is
// received before the next is sent, so the relay is never past its capacity.
TEST_F(Relay, SoakRelaysEveryAcceptedDatagramOnceInOrderAndExact)
{
    constexpr std::uint32_t TOTAL = 100000, WINDOW = 16;
    const std::string pool = random_bytes(65536 + 4096, 5);
    unique_fd dest1 = sandbox_udp_socket("dest1", PORT);
    unique_fd sender = sandbox_udp_socket("sender", 0);
    unique_fd foreign = sandbox_udp_socket("foreign", 0);
    ASSERT_NO_FATAL_FAILURE(start_relaying(settings("198.18.1.2", "198.18.2.255", "5000")));

    long warm_kb = 0;
    sandbox_datagram got;
    // A 65,507-byte datagram takes more of a socket's receive buffer than the
    // rest of a window together, so it travels in a window of its own.
    for (std::uint32_t first = 0, next = 0; first < TOTAL; first = next) {
        do {
            ASSERT_TRUE(sandbox_send(sender.get(), soak_datagram(next, pool), "198.18.1.1", PORT));
            if (next % 4 == 0) {
                ASSERT_TRUE(sandbox_send(foreign.get(), "foreign", "198.18.1.1", PORT));
            }
            ++next;
        } while (next < TOTAL && next - first < WINDOW && !largest_soak_datagram(next) &&
                 !largest_soak_datagram(next - 1));
        for (std::uint32_t n = first; n < next; ++n) {
            ASSERT_TRUE(sandbox_receive(dest1.get(), got, 5000)) << "datagram " << n << " lost";
            std::string expected = soak_datagram(n, pool);
            ASSERT_EQ(got.payload.size(), expected.size()) << "datagram " << n;
            ASSERT_TRUE(got.payload == expected) << "datagram " << n << " altered or out of order";
        }
        // Every buffer the relay uses has been touched by now.
        if (warm_kb == 0 && next >= 1024)
            warm_kb = resident_kb(pid_);
    }
    expect_nothing(dest1.get());
    ASSERT_GT(warm_kb, 0);
    EXPECT_LE(resident_kb(pid_), warm_kb) << "resident memory grew";
}

// Without settings it can read, the daemon runs on defaults: it must get as
// far as its socket, whatever stands at the path, and say nothing more.
TEST_F(Relay, WithoutReadableSettingsReachesItsSocketAndLogsNothingMore)
{
    const char *path = "/opt/Ostrivo/etc/settings";
    struct {
        const char *what, *make;
    } const cases[] = {{"missing", ""},
                       {"a FIFO", "mkfifo"},
                       {"a directory", "mkdir"},
                       {"/dev/zero", "ln -s /dev/zero"}};
    for (const auto &each : cases) {
        SCOPED_TRACE(each.what);
        std::string remove = std::string("rm -rf ") + path;
        std::string make = std::string(each.make) + " " + path;
        // NOLINTNEXTLINE(cert-env33-c): fixed commands
        ASSERT_EQ(std::system(remove.c_str()), 0);
        if (*each.make != '\0') {
            ASSERT_EQ(std::system(make.c_str()), 0); // NOLINT(cert-env33-c): as above
        }
        ASSERT_NO_FATAL_FAILURE(launch());
        // Its UDP socket, not the one to /dev/log that comes before the
        // settings are read.
        EXPECT_TRUE(sandbox_wait_udp_socket(pid_, 5000));
        sandbox_record record;
        EXPECT_FALSE(sandbox_next_record(record, 300)) << record.text;
        stop();
    }
    EXPECT_EQ(std::system(("rm -rf " + std::string(path)).c_str()), 0); // NOLINT(cert-env33-c)
}

TEST_F(Relay, PortTakenExitsWithStatus1)
{
    unique_fd taken = sandbox_udp_socket("relay", PORT);
    ASSERT_TRUE(taken);
    ASSERT_NO_FATAL_FAILURE(start(settings("198.18.1.2", "198.18.2.2", "5000")));
    expect_record(ERROR, "bind socket error: Address already in use");
    expect_exit_status_1();
}

TEST_F(Relay, PortAbove65535IsRefusedNotTruncated)
{
    // 65616 would otherwise bind port 80.
    ASSERT_NO_FATAL_FAILURE(start(settings("198.18.1.2", "198.18.2.2", "65616")));
    expect_record(ERROR, "bind socket error: Invalid argument");
    expect_exit_status_1();
}

TEST_F(Relay, SocketBeyondTheSelectSetIsRefused)
{
    ASSERT_NO_FATAL_FAILURE(start(settings("198.18.1.2", "198.18.2.2", "5000"), 1024));
    expect_record(ERROR, "create socket error: Too many open files");
    expect_exit_status_1();
}

} // namespace

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (const char *words = std::getenv("OSTRIVOD"))
        daemon_command = words;
    for (int i = 1; i < argc; ++i)
        if (std::string_view(argv[i]).starts_with("--daemon="))
            daemon_command = argv[i] + std::strlen("--daemon=");
    return RUN_ALL_TESTS();
}
