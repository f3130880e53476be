// ostrivod on an emulated board, as an integrator deploys it: a Debian
// system boots and systemd or SysV init runs the relay from the files that
// dpkg installed, or BusyBox init runs it from what Buildroot's install laid
// out. The test checks from outside what arrives where, and inside, through
// the board's shell, the logs, the process and dpkg.
// Usage: board_test --board=DIR --gtest_filter=Systemd.*|SysV.*|BusyBox.*,
// DIR made by boards/board image of that kind.

#include "sandbox/board.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

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

    // A relay on another port than the board's settings give has
    // destinations of its own.
    static void expect_relayed(const std::string &tag, std::uint16_t port = PORT)
    {
        std::mt19937 generate(static_cast<unsigned>(tag.size()));
        std::string payload = tag + ":";
        for (int i = 0; i < 1000; ++i)
            payload += static_cast<char>(generate());
        unique_fd other1, other2;
        int dests[] = {dest1_.get(), dest2_.get()};
        if (port != PORT) {
            other1 = sandbox_udp_socket("dest1", port);
            other2 = sandbox_udp_socket("dest2", port);
            dests[0] = other1.get();
            dests[1] = other2.get();
        }
        ASSERT_TRUE(sandbox_send(foreign_.get(), "foreign " + tag, "198.18.1.1", port));
        ASSERT_TRUE(sandbox_send(sender_.get(), payload, "198.18.1.1", port));
        for (int sock : dests) {
            sandbox_datagram got;
            ASSERT_TRUE(sandbox_receive(sock, got, 10000)) << tag << ": nothing arrived";
            EXPECT_EQ(sandbox_address_text(got.from), "198.18.2.1:" + std::to_string(port));
            EXPECT_TRUE(got.payload == payload) << tag << ": altered or foreign";
            EXPECT_FALSE(sandbox_receive(sock, got, 300)) << tag << ": unexpected " << got.payload;
        }
    }

    // The process runs as uid, with CAP_NET_BIND_SERVICE alone (none where
    // caps is all zeros), and cannot gain another; what it has is printed.
    static void expect_least_privilege(const std::string &pid, const std::string &uid,
                                       const std::string &caps = "0000000000000400")
    {
        std::string status = board("grep -E '^(Uid|CapPrm|CapEff|CapAmb|NoNewPrivs):' /proc/" +
                                   pid + "/status | tr -s '\\t\\n' '  '");
        std::printf("pid %s: %s\n", pid.c_str(), status.c_str());
        EXPECT_NE(status.find("Uid: " + uid + " " + uid + " " + uid + " " + uid), std::string::npos)
            << status;
        for (const char *set : {"CapPrm", "CapEff", "CapAmb"})
            EXPECT_NE(status.find(std::string(set) + ": " + caps), std::string::npos) << status;
        EXPECT_NE(status.find("NoNewPrivs: 1"), std::string::npos) << status;
    }

    static inline std::string why_not_;
    static inline pid_t qemu_ = -1;
    static inline unique_fd dest1_, dest2_, sender_, foreign_;
};

// Each suite runs alone, on the board of its kind.
class Systemd : public Board {
  protected:
    // Each case starts with the relay enabled and running on the image's
    // settings, no instance running and nothing failed.
    void SetUp() override
    {
        Board::SetUp();
        if (HasFailure())
            return;
        board(
            "[ -f /root/settings.image ] || cp -p /opt/Ostrivo/etc/settings /root/settings.image");
        board("cp -p /root/settings.image /opt/Ostrivo/etc/settings && systemctl stop 'ostrivod@*' "
              "&& "
              "systemctl reset-failed && systemctl enable --now ostrivod");
        ASSERT_TRUE(sandbox_board_bound(PORT));
    }

    // Kills the relay, then probes until a datagram is relayed again: the
    // time between, in ms, or 0 when it is not back within 30 s.
    static long long downtime_after_kill()
    {
        EXPECT_TRUE(sandbox_board_bound(PORT));
        drain();
        std::string pid = main_pid();
        auto killed = std::chrono::steady_clock::now();
        board("kill -KILL " + pid);
        sandbox_datagram got;
        bool back = false;
        while (!back && std::chrono::steady_clock::now() - killed < std::chrono::seconds(30)) {
            sandbox_send(sender_.get(), "probe", "198.18.1.1", PORT);
            back = sandbox_receive(dest1_.get(), got, 100);
        }
        auto down = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - killed);
        drain();
        return back ? static_cast<long long>(down.count()) : 0;
    }

    static void drain()
    {
        sandbox_datagram got;
        while (sandbox_receive(dest1_.get(), got, 300) || sandbox_receive(dest2_.get(), got, 0)) {
        }
    }

    // Instance name of ostrivod@.service relays with these settings: the
    // board's, on another port.
    static void write_instance(const std::string &name, std::uint16_t port)
    {
        board("printf 'MOD_OSTRIVO_SRC_IPADDR=198.18.1.2\\nMOD_OSTRIVO_DST_IPADDR=198.18.2.255\\n"
              "MOD_OSTRIVO_PORT=" +
              std::to_string(port) + "\\n' >/opt/Ostrivo/etc/" + name + ".settings");
    }
};
// The init script, under SysV init and under BusyBox init with BusyBox's
// applets alone: the same cases, each board's own way of running it.
class InitScript : public Board {
  protected:
    struct init_system {
        const char *script;     // the rc script, as init runs it
        const char *respawn;    // an /etc/inittab line for the relay
        const char *reread;     // has init read /etc/inittab again
        const char *system_log; // what the system log holds, where there is one
    };

    static int run(const std::string &command, std::string &output, int timeout_ms = 60000)
    {
        return sandbox_board_run(command, output, timeout_ms);
    }

    // Stopped, the relay's port free and its settings as the image has them.
    static void from_a_known_state(const init_system &init)
    {
        board(std::string(init.script) + " stop && cp -p /root/settings " + SETTINGS +
              " 2>/dev/null; true");
        board("[ -f /root/settings ] || cp -p " + std::string(SETTINGS) + " /root/settings");
        EXPECT_EQ(board(RELAY), "");
    }

    // start relays as the relay's user; stop leaves no process.
    static void start_and_stop(const init_system &init)
    {
        board(std::string(init.script) + " start");
        ASSERT_TRUE(sandbox_board_bound(PORT));
        expect_relayed("started by the script");
        EXPECT_EQ(board(std::string(init.script) + " status"),
                  "ostrivod is running (pid " + board("cat /run/ostrivod.pid") + ")");
        expect_least_privilege(board(RELAY), board("id -u ostrivo"));

        board(std::string(init.script) + " stop");
        EXPECT_EQ(board(RELAY), "");
        std::string output;
        EXPECT_EQ(run(std::string(init.script) + " status", output), 3) << output;
    }

    // A fault the check finds, a file the relay's user cannot read among
    // them, fails the start with LSB status 6 and the check's message, on
    // the console and in the system log; a port held by another program
    // fails it too, naming the port and the program.
    static void failing_starts(const init_system &init)
    {
        const std::string path = SETTINGS;
        struct {
            const char *change, *message;
        } const faults[] = {{"sed -i 's/^MOD_OSTRIVO_PORT=/MOD_OSTRIVO_PORT = /'",
                             ":4: error: MOD_OSTRIVO_PORT is not set"},
                            {"chmod 0600", "Permission denied: make it readable by others"}};
        for (const auto &fault : faults) {
            SCOPED_TRACE(fault.message);
            board(std::string(fault.change) + " " + path);
            std::string output;
            EXPECT_EQ(run(std::string(init.script) + " start", output), 6) << output;
            EXPECT_NE(output.find(fault.message), std::string::npos) << output;
            if (init.system_log) {
                EXPECT_EQ(run(std::string(init.system_log) + " | grep -q 'ostrivod-check.*" +
                                  fault.message + "'",
                              output),
                          0)
                    << board(std::string(init.system_log) + " | tail -5");
            }
            EXPECT_EQ(board(RELAY), "");
            board("cp -p /root/settings " + path);
        }

        // Another program on the port: here, a relay of its own.
        board("/opt/Ostrivo/bin/ostrivod </dev/null >/dev/null 2>&1 & echo $! >/root/holder");
        ASSERT_TRUE(sandbox_board_bound(PORT));
        std::string output, holder = board("cat /root/holder");
        EXPECT_EQ(run(std::string(init.script) + " start", output), 1) << output;
        EXPECT_NE(output.find("UDP port " + std::to_string(PORT) + " is in use by ostrivod (pid " +
                              holder + ")"),
                  std::string::npos)
            << output;
        EXPECT_EQ(board(RELAY), holder);
        board("kill " + holder);
    }

    // init's respawn line brings the relay back after a crash; with a
    // settings fault it waits for the fix, and with the port held it starts
    // the relay at most once in ten seconds, never in a loop.
    static void respawned(const init_system &init)
    {
        board("echo '" + std::string(init.respawn) + "' >>/etc/inittab && " + init.reread);
        ASSERT_TRUE(sandbox_board_until(std::string("[ -n \"$(") + RELAY + ")\" ]"));
        ASSERT_TRUE(sandbox_board_bound(PORT));
        expect_relayed("respawned by init");
        std::string pid = board(RELAY);
        board("kill -KILL " + pid);
        ASSERT_TRUE(sandbox_board_until(std::string("[ -n \"$(") + RELAY + ")\" ] && [ \"$(" +
                                        RELAY + ")\" != " + pid + " ]"));
        ASSERT_TRUE(sandbox_board_bound(PORT));
        expect_relayed("after SIGKILL");

        // The respawned script waits for the fix: no relay meanwhile.
        board("sed -i 's/^MOD_OSTRIVO_PORT=/MOD_OSTRIVO_PORT = /' " + std::string(SETTINGS) +
              " && kill -KILL $(" + std::string(RELAY) + ")");
        std::string output;
        EXPECT_EQ(run("sleep 12", output, 30000), 0);
        EXPECT_EQ(board(RELAY), "");
        board("cp -p /root/settings " + std::string(SETTINGS));
        ASSERT_TRUE(sandbox_board_until(std::string("[ -n \"$(") + RELAY + ")\" ]"));
        ASSERT_TRUE(sandbox_board_bound(PORT));
        expect_relayed("settings fixed");

        // A port taken by another program: its relay is killed, and the
        // holder takes its place; count the relay's starts over a minute.
        if (!init.system_log) {
            board("sed -i '/ostrivod respawn/d' /etc/inittab && " + std::string(init.reread));
            return;
        }
        std::string starts =
            "$(" + std::string(init.system_log) + " | grep -c 'Ostrivo\\[[0-9]*\\]: started')";
        int before = std::stoi(board("echo " + starts));
        board("kill -KILL $(" + std::string(RELAY) +
              ") && { /opt/Ostrivo/bin/ostrivod </dev/null >/dev/null "
              "2>&1 & echo $! >/root/holder; }");
        EXPECT_EQ(run("sleep 60", output, 90000), 0);
        int started = std::stoi(board("echo " + starts)) - before - 1; // the holder's own
        std::printf("the port held for a minute: %d starts by init\n", started);
        EXPECT_LE(started, 6);
        board("sed -i '/ostrivod respawn/d' /etc/inittab && " + std::string(init.reread) +
              " && kill $(cat /root/holder)");
    }

    static constexpr const char *SETTINGS = "/opt/Ostrivo/etc/settings";
    // The relay's pid: BusyBox's pidof would name the script that runs it
    // too, as both are called ostrivod.
    static constexpr const char *RELAY =
        "for p in /proc/[0-9]*; do [ \"$(readlink $p/exe)\" = /opt/Ostrivo/bin/ostrivod ] && "
        "echo ${p#/proc/}; done; true";
};

class SysV : public InitScript {
  protected:
    // Debian's minimal system has no syslog daemon.
    static constexpr init_system INIT = {
        "service ostrivod", "ov:2345:respawn:/etc/init.d/ostrivod respawn", "telinit q", nullptr};
};
// No log reader but the file BusyBox's syslogd writes.
class BusyBox : public InitScript {
  protected:
    static constexpr init_system INIT = {"/etc/init.d/S50ostrivod",
                                         "::respawn:/etc/init.d/ostrivod respawn", "kill -HUP 1",
                                         "cat /var/log/messages"};
};

TEST_F(Systemd, RelaysTheSourceToBothDestinationsAndLogsStarted)
{
    ASSERT_TRUE(sandbox_board_bound(PORT));
    expect_relayed("first");
    EXPECT_TRUE(sandbox_board_until("journalctl -t Ostrivo -o json --no-pager | grep -q started"));
    EXPECT_EQ(started_records(), 1);
}

TEST_F(Systemd, RunsAsADynamicUserWithOnlyTheRightToBindALowPort)
{
    std::string pid = main_pid();
    std::string uid = board("stat -c %u /proc/" + pid);
    EXPECT_GE(std::stoul(uid), 61184u); // systemd's range for dynamic users
    EXPECT_LE(std::stoul(uid), 65519u);
    expect_least_privilege(pid, uid);
}

TEST_F(Systemd, RestartLogsStartedAgainAndRelays)
{
    int before = started_records();
    board("systemctl restart ostrivod");
    ASSERT_TRUE(sandbox_board_bound(PORT));
    expect_relayed("restarted");
    EXPECT_EQ(started_records(), before + 1);
}

TEST_F(Systemd, ComesBackAfterAStraySignal)
{
    std::string pid = main_pid();
    board("kill -HUP " + pid);
    ASSERT_TRUE(sandbox_board_until("[ \"$(systemctl show -p MainPID --value ostrivod)\" != 0 ] && "
                                    "[ \"$(systemctl show -p MainPID --value ostrivod)\" != " +
                                    pid + " ]"));
    ASSERT_TRUE(sandbox_board_bound(PORT));
    expect_relayed("after SIGHUP");
}

// A target that refused the filter, say, would log it and relay on.
TEST_F(Systemd, LogsNoErrorWhileRelaying)
{
    EXPECT_EQ(board("journalctl -t Ostrivo -p err --no-pager -q"), "");
}

// The daemon itself runs on defaults without usable settings, relaying
// nothing; the unit's check, as the service's user, fails it instead, at
// once and for good, with the file and the reason in its status.
TEST_F(Systemd, ASettingsFaultFailsTheUnitUntilTheFileIsFixed)
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
        board(std::string(spoilt.change) + " " + path + " && systemctl reset-failed ostrivod");
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
    // Thirty restart delays on, it is still failed, and has not tried again.
    std::string restarts = board("systemctl show -p NRestarts --value ostrivod");
    std::string output;
    EXPECT_EQ(sandbox_board_run("sleep 3", output, 30000), 0);
    EXPECT_EQ(board("systemctl is-failed ostrivod || true"), "failed");
    EXPECT_EQ(board("systemctl show -p NRestarts --value ostrivod"), restarts);
    EXPECT_EQ(started_records(), before);

    board("cp -p /root/settings " + path + " && systemctl restart ostrivod");
    ASSERT_TRUE(sandbox_board_bound(PORT));
    expect_relayed("settings back");
}

// Four crashes in a row, counted from a fresh start as at boot, are each
// restarted, however slowly the board restarts; a fifth leaves the unit
// failed. The slowest restart is printed: the unit's start limit must hold
// five of them.
TEST_F(Systemd, AFifthCrashInARowFailsTheUnit)
{
    board("systemctl stop ostrivod && systemctl reset-failed ostrivod && systemctl start ostrivod");
    std::string output;
    long long slowest = 0;
    for (int crash = 1; crash < 5; ++crash) {
        long long down = downtime_after_kill();
        ASSERT_GT(down, 0) << "crash " << crash << ": not back";
        slowest = std::max(slowest, down);
    }
    std::printf("four crashes in a row, each restarted, the slowest back after %lld ms\n", slowest);
    std::string since = board("date +%s");
    board("kill -KILL " + main_pid());
    EXPECT_TRUE(sandbox_board_until("systemctl is-failed -q ostrivod"));
    EXPECT_EQ(board("journalctl -u ostrivod --since=@" + since +
                    " -o cat | grep -c 'Start request repeated too quickly' || true"),
              "1");
    EXPECT_EQ(sandbox_board_run("sleep 5 && systemctl is-failed -q ostrivod", output, 30000), 0);

    board("systemctl reset-failed ostrivod && systemctl start ostrivod");
    ASSERT_TRUE(sandbox_board_bound(PORT));
    expect_relayed("after the crash loop");
}

// A port held for a moment at the start is waited out; one held for good
// fails the start once, with the reason, and few records.
TEST_F(Systemd, APortHeldAtTheStartIsWaitedOutButNotForEver)
{
    // The holder: a relay of its own on the same port, run by hand. The
    // braces keep "&" to the holder alone: without them it sends the whole
    // "stop && ..." list to the background, and the start races the stop.
    const std::string hold = "{ /opt/Ostrivo/bin/ostrivod </dev/null >/dev/null 2>&1 & echo $! "
                             ">/root/holder; }";
    board("systemctl stop ostrivod && systemctl reset-failed ostrivod && " + hold);
    ASSERT_TRUE(sandbox_board_bound(PORT));
    board("systemctl start --no-block ostrivod && sleep 3 && kill $(cat /root/holder)");
    EXPECT_TRUE(sandbox_board_until("systemctl is-active -q ostrivod"));
    ASSERT_TRUE(sandbox_board_bound(PORT));
    expect_relayed("port freed");

    board("systemctl stop ostrivod && " + hold);
    ASSERT_TRUE(sandbox_board_bound(PORT));
    std::string since = board("date +%s");
    auto started = std::chrono::steady_clock::now();
    std::string output;
    EXPECT_NE(sandbox_board_run("systemctl start ostrivod", output, 90000), 0) << output;
    auto failed = std::chrono::duration_cast<std::chrono::seconds>(
        std::chrono::steady_clock::now() - started);
    EXPECT_LT(failed.count(), 60);
    EXPECT_EQ(sandbox_board_run("systemctl status ostrivod --no-pager -l | grep -q "
                                "'bind socket error: Address already in use'",
                                output),
              0)
        << board("systemctl status ostrivod --no-pager -l || true");
    std::string lines = board("journalctl -u ostrivod --since=@" + since + " -o cat | wc -l");
    std::printf("a port held for good: failed after %lld s, %s journal lines\n",
                static_cast<long long>(failed.count()), lines.c_str());
    EXPECT_LE(std::stoi(lines), 10);

    board("kill $(cat /root/holder) && systemctl reset-failed ostrivod && systemctl start "
          "ostrivod");
    ASSERT_TRUE(sandbox_board_bound(PORT));
}

// With the destination's link down every relayed datagram is a failed send,
// each logged by the daemon; the journal keeps a bounded share of them a
// minute, and says how many it left out when the next minute begins.
TEST_F(Systemd, TheJournalKeepsABoundedShareOfASendFailureFlood)
{
    std::string nic = board("ip -o link | grep 52:54:00:00:02:01 | cut -d: -f2 | tr -d ' '");
    ASSERT_FALSE(nic.empty());
    long long since = std::stoll(board("date +%s"));
    board("ip link set " + nic + " down");
    // 100 datagrams a second, for a little more than a minute.
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 6500; ++i) {
        std::this_thread::sleep_until(start + std::chrono::milliseconds(10 * i));
        sandbox_send(sender_.get(), "flood", "198.18.1.1", PORT);
    }
    board("ip link set " + nic + " up");
    std::string minute =
        " --since=@" + std::to_string(since) + " --until=@" + std::to_string(since + 60);
    int kept = std::stoi(board("journalctl -u ostrivod -p err" + minute + " -o cat | wc -l"));
    std::string suppressed = board("journalctl --since=@" + std::to_string(since) +
                                   " -o cat | grep 'Suppressed .* ostrivod.service' || true");
    std::printf("a minute of 100 failed sends a second: %d records kept; %s\n", kept,
                suppressed.c_str());
    EXPECT_GT(kept, 0);
    EXPECT_LE(kept, 400);
    EXPECT_NE(suppressed.find("ostrivod.service"), std::string::npos);
    EXPECT_EQ(board("journalctl -u ostrivod -p err" + minute +
                    " -o cat | grep -vc '^send error: Network is unreachable$' || true"),
              "0");
    drain();
    ASSERT_TRUE(sandbox_board_until("ip route | grep -q 198.18.2.0/24"));
    expect_relayed("link up again");
}

// Two more relays beside the board's own, each on its own port with its own
// file, status and journal, and the capability only where its port needs it.
TEST_F(Systemd, InstancesRelayOnTwoMorePortsAtOnce)
{
    std::string pid = main_pid();
    write_instance("wol", 9);
    write_instance("discovery", 7007);
    board("systemctl start ostrivod@wol ostrivod@discovery");
    ASSERT_TRUE(sandbox_board_bound(9));
    ASSERT_TRUE(sandbox_board_bound(7007));
    expect_relayed("wake-on-lan", 9);
    expect_relayed("discovery", 7007);
    expect_relayed("beside them");
    EXPECT_EQ(main_pid(), pid);
    // A port of 1024 or above needs no capability, and keeps none.
    std::string discovery = board("systemctl show -p MainPID --value ostrivod@discovery");
    expect_least_privilege(discovery, board("stat -c %u /proc/" + discovery), "0000000000000000");
    EXPECT_TRUE(sandbox_board_until("journalctl -u ostrivod@wol -o cat | grep -qx started"));
}

// Even with the daemon's own path empty, an instance creates nothing on the
// board; a missing instance file fails that instance alone, named.
TEST_F(Systemd, AMissingInstanceFileFailsThatInstanceAloneAndCreatesNothing)
{
    std::string pid = main_pid();
    write_instance("wol", 9);
    board("mv /opt/Ostrivo/etc/settings /root/settings.board");
    std::string before = board("find /opt/Ostrivo/etc | sort");
    std::string output;
    EXPECT_NE(sandbox_board_run("systemctl start ostrivod@absent", output), 0) << output;
    EXPECT_EQ(board("systemctl is-failed ostrivod@absent || true"), "failed");
    EXPECT_EQ(sandbox_board_run("systemctl status ostrivod@absent --no-pager -l | grep "
                                "'/opt/Ostrivo/etc/absent.settings.*No such file or directory'",
                                output),
              0)
        << board("systemctl status ostrivod@absent --no-pager -l || true");
    board("systemctl restart ostrivod@wol");
    ASSERT_TRUE(sandbox_board_bound(9));
    expect_relayed("with no board file", 9);
    EXPECT_EQ(board("find /opt/Ostrivo/etc | sort"), before);
    board("mv /root/settings.board /opt/Ostrivo/etc/settings");
    EXPECT_EQ(main_pid(), pid);
    board("systemctl reset-failed ostrivod@absent");
}

// As Debian does it: an upgrade restarts the relay, a removal stops it but
// keeps its enablement, which a reinstall restores; only a purge removes it.
TEST_F(Systemd, UpgradeRemovalReinstallAndPurgeAsDebianDoes)
{
    write_instance("wol", 9);
    board("systemctl enable --now ostrivod@wol");
    auto instance_pid = [] { return board("systemctl show -p MainPID --value ostrivod@wol"); };
    std::string pid = main_pid(), wol = instance_pid();
    board("dpkg -i /root/ostrivod-newer.deb");
    EXPECT_NE(main_pid(), pid) << "the upgrade did not restart the relay";
    EXPECT_NE(instance_pid(), wol) << "the upgrade did not restart the instance";
    ASSERT_TRUE(sandbox_board_bound(PORT));
    expect_relayed("upgraded");

    board("dpkg -r ostrivod");
    std::string output;
    EXPECT_NE(sandbox_board_run("systemctl is-active ostrivod", output), 0) << output;
    EXPECT_NE(sandbox_board_run("systemctl is-active ostrivod@wol", output), 0) << output;
    EXPECT_EQ(board("pidof ostrivod || true"), "");
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

// Without systemd: the init script, as an integrator's SysV board runs it.
TEST_F(SysV, StartRelaysAsTheRelaysUserAndStopLeavesNoProcess)
{
    from_a_known_state(INIT);
    start_and_stop(INIT);
}

// apt installed the package with what it depends on: the relay's user
// comes from the standalone sysusers, not from the whole of systemd.
TEST_F(SysV, TheInstallPulledInNoSystemd)
{
    EXPECT_EQ(board("dpkg-query -W -f='${db:Status-Status} ${Package}\\n' systemd "
                    "systemd-standalone-sysusers 2>/dev/null | sed -n 's/^installed //p'"),
              "systemd-standalone-sysusers");
    EXPECT_EQ(board("id -un ostrivo"), "ostrivo");
}

TEST_F(SysV, AStartThatCannotRelayFailsAndLeavesNoDaemon)
{
    from_a_known_state(INIT);
    failing_starts(INIT);
}

TEST_F(SysV, InittabRespawnsTheRelayButNotAFault)
{
    from_a_known_state(INIT);
    respawned(INIT);
}

// As Buildroot's image boots: rcS has started the relay through
// S50ostrivod.
TEST_F(BusyBox, AtBootRelaysAsTheRelaysUser)
{
    ASSERT_TRUE(sandbox_board_bound(PORT));
    expect_relayed("started at boot");
    EXPECT_EQ(board(std::string(INIT.script) + " status"),
              "ostrivod is running (pid " + board("cat /run/ostrivod.pid") + ")");
    expect_least_privilege(board(RELAY), board("id -u ostrivo"));
    EXPECT_EQ(board("grep -c 'Ostrivo\\[[0-9]*\\]: started' /var/log/messages"), "1");
}

TEST_F(BusyBox, StartRelaysAsTheRelaysUserAndStopLeavesNoProcess)
{
    from_a_known_state(INIT);
    start_and_stop(INIT);
}

TEST_F(BusyBox, AStartThatCannotRelayFailsAndLeavesNoDaemon)
{
    from_a_known_state(INIT);
    failing_starts(INIT);
}

TEST_F(BusyBox, InittabRespawnsTheRelayButNotAFault)
{
    from_a_known_state(INIT);
    respawned(INIT);
}

// The init script in the states an operator meets, as in the BusyBox
// chroot of init_test.sh, here on the board's kernel and BusyBox init.
TEST_F(BusyBox, TheInitScriptTellsTheTruthInEveryState)
{
    from_a_known_state(INIT);
    std::string output;
    EXPECT_EQ(run("sh /root/init_cases.sh", output, 400000), 0) << output;
    std::printf("%s\n", output.c_str());
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
