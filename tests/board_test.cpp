// The armhf package on an emulated board, as an integrator deploys it: its
// Debian system boots, systemd runs the relay from the unit that dpkg
// installed, and the test checks from outside what arrives where, and
// inside, through the board's shell, the journal, the process and dpkg.
// Usage: board_test --board=DIR, DIR made by scripts/board image.

#include "sandbox/board.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

namespace {

std::string board_dir;
// Below 1024, in the board's settings: the unit's one capability at work.
std::uint16_t PORT = 0;

class Board : public ::testing::Test {
  protected:
    static void SetUpTestSuite()
    {
        why_not_ = sandbox_enter();
        if (!why_not_.empty())
            return;
        qemu_ = sandbox_board_start(board_dir);
        dest1_ = sandbox_udp_socket("dest1", PORT);
        dest2_ = sandbox_udp_socket("dest2", PORT);
        sender_ = sandbox_udp_socket("sender", 0);
        foreign_ = sandbox_udp_socket("foreign", 0);
        if (qemu_ <= 0 || !sandbox_board_ready(600000))
            why_not_ = "the board did not boot: see " + board_dir + "/console.log";
    }

    static void TearDownTestSuite()
    {
        if (qemu_ > 0)
            sandbox_stop(qemu_);
    }

    void SetUp() override
    {
        if (!why_not_.empty())
            FAIL() << why_not_;
    }

    // The output of command on the board, which must succeed.
    static std::string board(const std::string &command)
    {
        std::string output;
        EXPECT_EQ(sandbox_board_run(command, output), 0) << command << ": " << output;
        return output;
    }

    static std::string main_pid() { return board("systemctl show -p MainPID --value ostrivod"); }

    static int started_records()
    {
        // Each record as JSON: the identity, facility daemon (3), level notice (5).
        return static_cast<int>(
            std::strtol(board("journalctl -t Ostrivo -o json --no-pager | grep "
                              "'\"MESSAGE\":\"started\"' | grep '\"PRIORITY\":\"5\"' | "
                              "grep -c '\"SYSLOG_FACILITY\":\"3\"' || true")
                            .c_str(),
                        nullptr, 10));
    }

    static void expect_relayed(const std::string &tag)
    {
        std::mt19937 generate(static_cast<unsigned>(tag.size()));
        std::string payload = tag + ":";
        for (int i = 0; i < 1000; ++i)
            payload += static_cast<char>(generate());
        ASSERT_TRUE(sandbox_send(foreign_.get(), "foreign " + tag, "198.18.1.1", PORT));
        ASSERT_TRUE(sandbox_send(sender_.get(), payload, "198.18.1.1", PORT));
        for (int sock : {dest1_.get(), dest2_.get()}) {
            sandbox_datagram got;
            ASSERT_TRUE(sandbox_receive(sock, got, 10000)) << tag << ": nothing arrived";
            EXPECT_EQ(sandbox_address_text(got.from), "198.18.2.1:" + std::to_string(PORT));
            EXPECT_TRUE(got.payload == payload) << tag << ": altered or foreign";
            EXPECT_FALSE(sandbox_receive(sock, got, 300)) << tag << ": unexpected " << got.payload;
        }
    }

    static inline std::string why_not_;
    static inline pid_t qemu_ = -1;
    static inline unique_fd dest1_, dest2_, sender_, foreign_;
};

TEST_F(Board, RelaysTheSourceToBothDestinationsAndLogsStarted)
{
    ASSERT_TRUE(sandbox_board_bound(PORT));
    expect_relayed("first");
    EXPECT_TRUE(sandbox_board_until("journalctl -t Ostrivo -o json --no-pager | grep -q started"));
    EXPECT_EQ(started_records(), 1);
}

TEST_F(Board, RunsAsADynamicUserWithOnlyTheRightToBindALowPort)
{
    std::string status = board("grep -E '^(Uid|CapEff|CapBnd|CapAmb):' /proc/" + main_pid() +
                               "/status | tr -s '\\t' ' '");
    unsigned long uid = std::strtoul(status.substr(status.find(' ') + 1).c_str(), nullptr, 10);
    EXPECT_GE(uid, 61184u) << status; // systemd's range for dynamic users
    EXPECT_LE(uid, 65519u) << status;
    std::string id = std::to_string(uid);
    EXPECT_NE(status.find("Uid: " + id + " " + id + " " + id + " " + id), std::string::npos);
    for (const char *set : {"CapEff", "CapBnd", "CapAmb"})
        EXPECT_NE(status.find(std::string(set) + ": 0000000000000400"), std::string::npos)
            << status;
}

TEST_F(Board, RestartLogsStartedAgainAndRelays)
{
    int before = started_records();
    board("systemctl restart ostrivod");
    ASSERT_TRUE(sandbox_board_bound(PORT));
    expect_relayed("restarted");
    EXPECT_EQ(started_records(), before + 1);
}

TEST_F(Board, ComesBackAfterAStraySignal)
{
    std::string pid = main_pid();
    board("kill -HUP " + pid);
    ASSERT_TRUE(sandbox_board_until("[ \"$(systemctl show -p MainPID --value ostrivod)\" != 0 ] && "
                                    "[ \"$(systemctl show -p MainPID --value ostrivod)\" != " +
                                    pid + " ]"));
    ASSERT_TRUE(sandbox_board_bound(PORT));
    expect_relayed("after SIGHUP");
}

// Every moment down loses datagrams: from the kill until a datagram sent
// from outside arrives again. The emulated board spawns each of the unit's
// processes slowly: the time is printed, and must be under 20 s.
TEST_F(Board, IsBackRelayingSoonAfterACrash)
{
    ASSERT_TRUE(sandbox_board_bound(PORT));
    auto killed = std::chrono::steady_clock::now();
    board("kill -KILL " + main_pid());
    sandbox_datagram got;
    bool back = false;
    while (!back && std::chrono::steady_clock::now() - killed < std::chrono::seconds(20)) {
        ASSERT_TRUE(sandbox_send(sender_.get(), "probe", "198.18.1.1", PORT));
        back = sandbox_receive(dest1_.get(), got, 100);
    }
    auto down = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - killed);
    ASSERT_TRUE(back) << "not back after " << down.count() << " ms";
    std::printf("relaying again %lld ms after SIGKILL\n", static_cast<long long>(down.count()));
    while (sandbox_receive(dest1_.get(), got, 300) || sandbox_receive(dest2_.get(), got, 0)) {
    }
}

// A target that refused the filter, say, would log it and relay on.
TEST_F(Board, LogsNoErrorWhileRelaying)
{
    EXPECT_EQ(board("journalctl -t Ostrivo -p err --no-pager -q"), "");
}

// The daemon itself runs on defaults without usable settings, relaying
// nothing; the unit's check, as the service's user, fails it instead, at
// once and for good, with the file and the reason in its status.
TEST_F(Board, ASettingsFaultFailsTheUnitUntilTheFileIsFixed)
{
    int before = started_records();
    const std::string path = "/opt/Ostrivo/etc/settings";
    struct {
        const char *change, *reason;
    } const cases[] = {{"chmod 0600", "Permission denied"},
                       {"rm", "No such file or directory"},
                       {"sed -i 's/^MOD_OSTRIVO_PORT=/MOD_OSTRIVO_PORT = /'",
                        ":[0-9]*: error: MOD_OSTRIVO_PORT is not set"}};
    board("cp -p " + path + " /root/settings");
    for (const auto &spoilt : cases) {
        SCOPED_TRACE(spoilt.reason);
        board(std::string(spoilt.change) + " " + path);
        std::string output;
        EXPECT_NE(sandbox_board_run("systemctl restart ostrivod", output), 0) << output;
        EXPECT_EQ(board("systemctl is-failed ostrivod || true"), "failed");
        EXPECT_EQ(board("systemctl show -p Result --value ostrivod"), "exit-code");
        EXPECT_EQ(sandbox_board_run("systemctl status ostrivod --no-pager -l | grep '" + path +
                                        ".*" + spoilt.reason + "'",
                                    output),
                  0)
            << board("systemctl status ostrivod --no-pager -l || true");
        if (&spoilt != &cases[std::size(cases) - 1])
            board("cp -p /root/settings " + path);
    }
    // A minute on, it is still failed, and has not tried again.
    std::string restarts = board("systemctl show -p NRestarts --value ostrivod");
    std::string output;
    EXPECT_EQ(sandbox_board_run("sleep 60", output, 90000), 0);
    EXPECT_EQ(board("systemctl is-failed ostrivod || true"), "failed");
    EXPECT_EQ(board("systemctl show -p NRestarts --value ostrivod"), restarts);
    EXPECT_EQ(started_records(), before);

    board("cp -p /root/settings " + path + " && systemctl restart ostrivod");
    ASSERT_TRUE(sandbox_board_bound(PORT));
    expect_relayed("settings back");
}

// As Debian does it: an upgrade restarts the relay, a removal stops it but
// keeps its enablement, which a reinstall restores; only a purge removes it.
TEST_F(Board, UpgradeRemovalReinstallAndPurgeAsDebianDoes)
{
    std::string pid = main_pid();
    board("dpkg -i /root/ostrivod-newer.deb");
    EXPECT_NE(main_pid(), pid) << "the upgrade did not restart the relay";
    ASSERT_TRUE(sandbox_board_bound(PORT));
    expect_relayed("upgraded");

    board("dpkg -r ostrivod");
    std::string output;
    EXPECT_NE(sandbox_board_run("systemctl is-active ostrivod", output), 0) << output;
    EXPECT_EQ(board("find /lib/systemd -name 'ostrivod*'"), "");

    board("dpkg -i /root/ostrivod.deb");
    EXPECT_EQ(board("systemctl is-enabled ostrivod || true"), "enabled");
    ASSERT_TRUE(sandbox_board_bound(PORT));
    expect_relayed("reinstalled");

    board("dpkg -P ostrivod");
    EXPECT_EQ(board("find /etc/systemd /lib/systemd -name 'ostrivod*'"), "");
    EXPECT_EQ(board("find -L /etc/systemd -type l"), "") << "dangling links";

    board("dpkg -i /root/ostrivod.deb");
    EXPECT_EQ(board("systemctl is-enabled ostrivod || true"), "disabled");
    EXPECT_EQ(board("systemctl is-active ostrivod || true"), "inactive");
}

} // namespace

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i < argc; ++i)
        if (std::string_view(argv[i]).starts_with("--board="))
            board_dir = argv[i] + std::strlen("--board=");
    PORT = sandbox_board_port();
    if (board_dir.empty() || PORT == 0) {
        std::fprintf(stderr, "usage: %s --board=DIR\n", argv[0]);
        return 2;
    }
    return RUN_ALL_TESTS();
}
