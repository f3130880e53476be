// ostrivod-check on files that go wrong in the ways operators write them:
// which line each problem is reported on, how grave it is, and whether the
// daemon would relay.

#include "check/check.h"
#include "net/log.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

// A kind by the words that name it, in a failure's message.
void PrintTo(check_kind kind, std::ostream *out)
{
    *out << check_describe(kind).summary;
}

namespace {

// A source and a destination, and then rest.
std::string good(const char *rest = "")
{
    return std::string("MOD_OSTRIVO_SRC_IPADDR=192.0.2.10\n"
                       "MOD_OSTRIVO_DST_IPADDR=198.51.100.255\n") +
           rest;
}

using found = std::vector<std::pair<check_kind, std::size_t>>; // each kind and its line

struct checked {
    int status;
    std::vector<std::string> problems; // as reported: "LINE error" or "LINE warning", 0 the file
    std::string err, out;
    found kinds; // as found, sorted
};

class Check : public ::testing::Test {
  protected:
    void SetUp() override
    {
        const char *tmp = std::getenv("TMPDIR");
        path_ = std::string(tmp != nullptr ? tmp : "/tmp") + "/ostrivo-check-XXXXXX";
        int fd = mkstemp(path_.data());
        ASSERT_GE(fd, 0);
        close(fd);
        // As the relay's user needs it.
        chmod(path_.c_str(), 0644);
    }
    void TearDown() override { unlink(path_.c_str()); }

    [[nodiscard]] checked run(const std::string &content, check_options options = {}) const
    {
        std::FILE *file = std::fopen(path_.c_str(), "w");
        std::fwrite(content.data(), 1, content.size(), file);
        std::fclose(file);
        return run_on(path_, options);
    }

    static checked run_on(const std::string &path, check_options options)
    {
        char *err_text = nullptr, *out_text = nullptr;
        std::size_t err_size = 0, out_size = 0;
        std::FILE *err = open_memstream(&err_text, &err_size);
        std::FILE *out = open_memstream(&out_text, &out_size);
        checked result{check_settings(path.c_str(), options, out, err), {}, {}, {}, {}};
        for (const check_finding &each : check_file(path.c_str(), 0).findings)
            result.kinds.emplace_back(each.kind, each.line);
        std::sort(result.kinds.begin(), result.kinds.end());
        std::fclose(err);
        std::fclose(out);
        result.err = err_text;
        result.out = out_text;
        std::free(err_text);
        std::free(out_text);
        // "PATH:LINE: error: ..." or "PATH: error: ..."; the count ends it.
        for (std::size_t at = 0; at < result.err.size();) {
            std::size_t end = result.err.find('\n', at);
            std::string line = result.err.substr(at + path.size(), end - at - path.size());
            at = end + 1;
            std::size_t number = line[0] == ':' ? std::strtoul(line.c_str() + 1, nullptr, 10) : 0;
            for (const char *severity : {"error", "warning"})
                if (line.find(std::string(": ") + severity + ": ") != std::string::npos)
                    result.problems.push_back(std::to_string(number) + " " + severity);
        }
        return result;
    }

    std::string path_;
};

TEST_F(Check, ReportsEachProblemOnItsLine)
{
    using enum check_kind;
    struct {
        std::string content;
        int status;
        found kinds;
        const char *mentions; // in the messages: the key, what the daemon does, the fix
    } const cases[] = {
        {good("MOD_OSTRIVO_PORT=5000\n"), 0, {}, ""},
        {"\xEF\xBB\xBF" + good("MOD_OSTRIVO_PORT=\"5000\"\r\n"), 0, {}, ""},
        {good(), 1, {{required_missing, 0}}, "MOD_OSTRIVO_PORT is not set"},
        {good("MOD_OSTRIVO_PORT = 700\n"),
         1,
         {{blanked_key, 3}, {required_missing_blanked, 3}},
         "MOD_OSTRIVO_PORT=<port>"},
        {good("export MOD_OSTRIVO_PORT=700\n"),
         1,
         {{blanked_key, 3}, {required_missing_blanked, 3}},
         "nothing before the key"},
        {good("MOD_OSTRIVO_PORT 700\n"), 1, {{no_equals, 3}, {required_missing, 0}}, "has no '='"},
        {good("MOD_OSTRIVO_PORT=7OO\n"), 0, {{text_after_value, 3}}, "as 7 and ignores \"OO\""},
        {good("MOD_OSTRIVO_PORT=0\n"), 1, {{required_zero, 3}}, "a port the system chooses"},
        {good("MOD_OSTRIVO_PORT=65616\n"), 1, {{port_above, 3}}, "exit with status 1"},
        {good("MOD_OSTRIVO_PORT=port\n"),
         1,
         {{required_unparsed, 3}},
         "\"port\" is not a decimal number"},
        {good("MOD_OSTRIVO_PORT=4294967296\n"), 1, {{required_unparsed, 3}}, "is above 4294967295"},
        {"MOD_OSTRIVO_SRC_IPADDR=\"10.0.0.1\nMOD_OSTRIVO_DST_IPADDR=10.0.0.2\nMOD_OSTRIVO_PORT=1\n",
         1,
         {{text_after_quote, 1}, {required_unparsed, 1}},
         "after the last double quote"},
        {"MOD_OSTRIVO_SRC_IPADDR=10.0.0.1O\nMOD_OSTRIVO_DST_IPADDR=0.0.0.0\nMOD_OSTRIVO_PORT=1\n",
         1,
         {{text_after_value, 1}, {required_zero, 2}},
         "its own host"},
        {good("MOD_OSTRIVO_PORT=5000\nmod_ostrivo_port=6000\n"),
         0,
         {{key_again, 4}},
         "takes line 3 and ignores this one"},
        {good("MOD_OSTRIVO_PORT=5000\nMOD_OSTRIVO_DNS_IPADR1=10.0.0.53\n"),
         0,
         {{unknown_key, 4}},
         "did you mean MOD_OSTRIVO_DNS_IPADDR1?"},
        {good("MOD_OSTRIVO_PORT=5000\nMOD_OSTRIVO_DNS_IPADDR1=ns1\n"),
         0,
         {{unparsed, 4}},
         "MOD_OSTRIVO_DNS_IPADDR1: \"ns1\" is not an IPv4 address"},
        {"MOD_OSTRIVO_SRC_IPADDR=10.0.0.1\rMOD_OSTRIVO_DST_IPADDR=10.0.0.2\rMOD_OSTRIVO_PORT=1\r",
         1,
         {{cr_in_line, 1}, {required_missing, 0}, {required_missing, 0}},
         "save the file with LF"},
        {good("MOD_OSTRIVO_PORT=5000\r\r\n"), 0, {}, ""},
        // Addresses that relay nothing, whatever the values' form.
        {"MOD_OSTRIVO_SRC_IPADDR=192.0.2.10\nMOD_OSTRIVO_DST_IPADDR=127.0.0.1\nMOD_OSTRIVO_PORT="
         "1\n",
         1,
         {{destination_loopback, 2}},
         "a loopback address"},
        {"MOD_OSTRIVO_SRC_IPADDR=192.0.2.10\nMOD_OSTRIVO_DST_IPADDR=0.1.2.3\nMOD_OSTRIVO_PORT=1\n",
         1,
         {{destination_this_network, 2}},
         "no host's address"},
        {"MOD_OSTRIVO_SRC_IPADDR=255.255.255.255\nMOD_OSTRIVO_DST_IPADDR=192.0.2.1\n"
         "MOD_OSTRIVO_PORT=1\n",
         1,
         {{source_broadcast, 1}},
         "no host sends from"},
        {"MOD_OSTRIVO_SRC_IPADDR=224.0.0.251\nMOD_OSTRIVO_DST_IPADDR=192.0.2.1\nMOD_OSTRIVO_PORT="
         "1\n",
         1,
         {{source_multicast, 1}},
         "a multicast group"},
        {"MOD_OSTRIVO_SRC_IPADDR=0.0.0.0\nMOD_OSTRIVO_DST_IPADDR=192.0.2.1\nMOD_OSTRIVO_PORT=1\n",
         0,
         {{source_any, 1}},
         "such as a DHCP discovery"},
        // The operator's comment, and a line that only repeats a key.
        {good("MOD_OSTRIVO_PORT=5000\n  #MOD_OSTRIVO_PORT=800\n"), 0, {}, ""},
        {good("MOD_OSTRIVO_PORT=5000\nMOD_OSTRIVO_PORT = 800\n"),
         0,
         {{blanked_key_taken, 4}},
         "ignores this line and takes line 3"},
        // Where the reader cuts a line, and bytes that would fool a terminal.
        {good() + std::string("MOD_OSTRIVO_PORT=7\0"
                              "00\n",
                              21),
         0,
         {{nul_in_line, 3}},
         "ignores what follows, \"00\""},
        {good() + std::string("MOD_OSTRIVO_PORT\0=700\n", 22),
         1,
         {{nul_before_equals, 3}, {required_missing, 0}},
         "before this line's '='"},
        {good("\"MOD_OSTRIVO_PORT\"=700\n"),
         1,
         {{quote_before_equals, 3}, {required_missing, 0}},
         "no quote around the key"},
        {good("MOD_OSTRIVO_PORT\xC2\xA0=700\n"),
         1,
         {{unknown_key, 3}, {required_missing, 0}},
         R"("MOD_OSTRIVO_PORT\xC2\xA0")"},
    };
    for (const auto &each : cases) {
        SCOPED_TRACE(each.content);
        checked result = run(each.content);
        EXPECT_EQ(result.status, each.status);
        found expected = each.kinds;
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(result.kinds, expected) << result.err;
        // Each finding is reported on its line, as grave as its kind.
        std::vector<std::string> reported;
        for (auto [kind, line] : expected)
            reported.push_back(std::to_string(line) +
                               (check_describe(kind).error ? " error" : " warning"));
        std::sort(reported.begin(), reported.end());
        std::sort(result.problems.begin(), result.problems.end());
        EXPECT_EQ(result.problems, reported) << result.err;
        EXPECT_NE(result.err.find(each.mentions), std::string::npos) << result.err;
    }
}

TEST_F(Check, AFileTheDaemonCannotReadIsOneError)
{
    struct {
        const char *path;
        check_kind kind;
    } const cases[] = {{"/nonexistent/settings", check_kind::unreadable_missing},
                       {"/dev/zero", check_kind::unreadable_not_regular},
                       {"/", check_kind::unreadable_not_regular}};
    for (const auto &each : cases) {
        checked result = run_on(each.path, {});
        EXPECT_EQ(result.status, 1) << each.path;
        EXPECT_EQ(result.kinds, (found{{each.kind, 0}})) << result.err;
        EXPECT_EQ(result.problems, std::vector<std::string>{"0 error"}) << result.err;
    }
}

TEST_F(Check, QuietSaysNothingOnlyWhenThereIsNothingToSay)
{
    EXPECT_EQ(run(good("MOD_OSTRIVO_PORT=5000\n"), {true, false}).err, "");
    EXPECT_NE(run(good("MOD_OSTRIVO_PORT=5000\n")).err, "");
    EXPECT_NE(run(good("MOD_OSTRIVO_PORT=5OOO\n"), {true, false}).err, "");
}

TEST_F(Check, PrintsTheSettingsAsTheDaemonWillUseThem)
{
    checked result = run("mod_ostrivo_port=+700x\nMOD_OSTRIVO_SRC_IPADDR=10.0.0.1\n"
                         "MOD_OSTRIVO_DST_IPADDR=bad\nMOD_OSTRIVO_DOMAIN=\"a\"b\"\n",
                         {true, true});
    EXPECT_EQ(result.out, "# MOD_OSTRIVO_ENABLED=0 (default)\n"
                          "MOD_OSTRIVO_SRC_IPADDR=10.0.0.1\n"
                          "# MOD_OSTRIVO_DST_IPADDR=0.0.0.0 (default)\n"
                          "MOD_OSTRIVO_PORT=700\n"
                          "# MOD_OSTRIVO_FTP_IPADDR=0.0.0.0 (default)\n"
                          "MOD_OSTRIVO_DOMAIN=\"a\"b\"\n"
                          "# MOD_OSTRIVO_DNS_IPADDR1=0.0.0.0 (default)\n"
                          "# MOD_OSTRIVO_DNS_IPADDR2=0.0.0.0 (default)\n"
                          "# MOD_OSTRIVO_DNS_IPADDR3=0.0.0.0 (default)\n");

    // Printed, the settings read back as they are, with nothing to say.
    result = run(good("MOD_OSTRIVO_PORT=5000\nMOD_OSTRIVO_DOMAIN=example.net\n"), {true, true});
    EXPECT_EQ(run(result.out, {true, false}).err, "");

    // What a terminal would take for a control sequence is escaped, and
    // said to be.
    result = run(good("MOD_OSTRIVO_PORT=5000\nMOD_OSTRIVO_DOMAIN=a\x1B[2Jb\n"), {true, true});
    EXPECT_NE(result.out.find("MOD_OSTRIVO_DOMAIN=\"a\\x1B[2Jb\"\n"), std::string::npos)
        << result.out;
    EXPECT_EQ(result.problems, std::vector<std::string>{"0 warning"}) << result.err;

    // Output that cannot be written is a failure.
    std::FILE *full = std::fopen("/dev/full", "w");
    ASSERT_NE(full, nullptr);
    std::FILE *err = std::fopen("/dev/null", "w");
    EXPECT_EQ(check_settings(path_.c_str(), {.quiet = true, .print = true}, full, err), 2);
    std::fclose(full);
    std::fclose(err);
}

// However broken the file, a few messages of each kind, then a count.
TEST_F(Check, SaysSoMuchOfOneKindAndCountsTheRest)
{
    std::string content = good("MOD_OSTRIVO_PORT=5000\n");
    for (int i = 0; i < 1000; ++i)
        content += "x\r\ry\n";
    checked result = run(content);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.problems.size(), 20u);
    EXPECT_NE(result.err.find("and 980 more like the above: a CR inside a line"),
              std::string::npos);
    EXPECT_NE(result.err.find("0 errors, 1000 warnings"), std::string::npos) << result.err;

    // UTF-16 reads as no setting at all: one error, not one per line.
    std::string utf16 = "\xFF\xFE";
    for (char c : good("MOD_OSTRIVO_PORT=5000\r\n"))
        utf16 += std::string{c, '\0'};
    result = run(utf16);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.problems, std::vector<std::string>{"0 error"}) << result.err;
    EXPECT_NE(result.err.find("UTF-16"), std::string::npos);
}

// Run as root, the check can read what the relay's user cannot.
TEST_F(Check, AsRootWarnsOfAFileTheRelaysUserCannotRead)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root";
    EXPECT_EQ(run(good("MOD_OSTRIVO_PORT=5000\n")).problems, std::vector<std::string>{});
    chmod(path_.c_str(), 0600);
    checked result = run_on(path_, {});
    EXPECT_EQ(result.problems, std::vector<std::string>{"0 warning"}) << result.err;
    EXPECT_NE(result.err.find("chmod o+r " + path_), std::string::npos) << result.err;
    std::string folder = path_ + ".d";
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    std::string inside = folder + "/settings";
    ASSERT_EQ(rename(path_.c_str(), inside.c_str()), 0);
    chmod(inside.c_str(), 0644);
    result = run_on(inside, {});
    EXPECT_NE(result.err.find("chmod o+x " + folder), std::string::npos) << result.err;
    rename(inside.c_str(), path_.c_str());
    rmdir(folder.c_str());
}

// -w: a port held for a moment is waited out; one held for good fails the
// check as it would fail the daemon.
TEST_F(Check, WaitsForAPortHeldForAMoment)
{
    int holder = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    getsockname(holder, reinterpret_cast<sockaddr *>(&address), &length);
    std::string port = std::to_string(ntohs(address.sin_port));
    check_options wait{.wait_port = 1};

    checked result = run(good(("MOD_OSTRIVO_PORT=" + port + "\n").c_str()), wait);
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("bind socket error: Address already in use"), std::string::npos)
        << result.err;

    std::thread release([holder] {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        close(holder);
    });
    wait.wait_port = 5;
    result = run_on(path_, wait);
    release.join();
    EXPECT_EQ(result.status, 0) << result.err;
}

// A file of these sources, by its path under their root.
std::string source_file(const char *name)
{
    std::string text;
    std::FILE *page = std::fopen((std::string(OSTRIVO_SOURCE_DIR "/") + name).c_str(), "r");
    if (page == nullptr)
        return text;
    for (int c; (c = std::fgetc(page)) != EOF;)
        text += static_cast<char>(c);
    std::fclose(page);
    return text;
}

// The manual pages list what the programs have, from their own tables: each
// key with its default, each record the daemon logs, and -p's order. The
// README's key table says of each key what the page says.
TEST(ManualPages, MatchTheProgramsOwnTablesAndTheReadme)
{
    std::string daemon = source_file("packaging/ostrivod.8.in"),
                check = source_file("packaging/ostrivod-check.8.in"),
                readme = source_file("README.md");
    ASSERT_FALSE(daemon.empty() || check.empty() || readme.empty());
    std::size_t printed = check.find(".B \\-p\n"), last = printed;
    ASSERT_NE(printed, std::string::npos);
    for (const module_setting &setting : MODULE_SETTINGS) {
        std::string key = std::string("\\%") + setting.key;
        std::size_t entry = daemon.find(".B " + key + "\n");
        ASSERT_NE(entry, std::string::npos) << setting.key;
        std::string expected = setting.type == setting_type::number    ? "default 0:"
                               : setting.type == setting_type::address ? "default 0.0.0.0:"
                                                                       : "default empty:";
        EXPECT_EQ(daemon.compare(daemon.find("default ", entry), expected.size(), expected), 0)
            << setting.key;
        // "TYPE, default DEFAULT: USE." on the page, "| TYPE | DEFAULT | USE |" in the README,
        // where the page may give one line to several keys of a type.
        std::size_t at = entry;
        while (daemon.compare(at, 3, ".B ") == 0 || daemon.compare(at, 4, ".TQ\n") == 0)
            at = daemon.find('\n', at) + 1;
        std::string said = daemon.substr(at, daemon.find('\n', at) - at);
        if (said.starts_with("IPv4 addresses"))
            said.replace(0, 14, "IPv4 address");
        std::size_t comma = said.find(", default "), colon = said.find(": ", comma);
        std::string row = "| `" + std::string(setting.key) + "` | " + said.substr(0, comma) +
                          " | " + said.substr(comma + 10, colon - comma - 10) + " | " +
                          said.substr(colon + 2, said.size() - colon - 3) + " |\n";
        EXPECT_NE(readme.find(row), std::string::npos) << "the README has no row " << row;
        std::size_t listed = check.find(key, printed);
        EXPECT_TRUE(listed != std::string::npos && listed >= last)
            << setting.key << " out of order";
        last = listed;
    }
    EXPECT_NE(daemon.find(".B started\n"), std::string::npos);
    for (const char *name : FAILED_CALL_NAMES)
        EXPECT_NE(daemon.find(std::string(".BI \"") + name + " error: \" reason\n"),
                  std::string::npos)
            << name;
    EXPECT_NE(daemon.find(".BI \"log error: \" N \" records lost: \" reason\n"), std::string::npos);
    // Every kind the check finds is on the page under its severity, by the
    // words that name it when more of it are left out.
    std::string text;
    for (std::size_t at = 0; at < check.size(); ++at)
        if (check.compare(at, 2, "\\%") == 0 || check.compare(at, 2, "\\-") == 0)
            text += check[++at] == '-' ? "-" : "";
        else
            text += check[at] == '\n' ? ' ' : check[at];
    std::size_t errors = text.find("Errors, "), warnings = text.find("Warnings, "),
                options = text.find(".SH OPTIONS");
    for (std::size_t kind = 0; kind < CHECK_KIND_COUNT; ++kind) {
        check_kind_info info = check_describe(static_cast<check_kind>(kind));
        std::size_t listed = text.find(info.summary, info.error ? errors : warnings);
        EXPECT_LT(listed, info.error ? warnings : options) << info.summary;
    }
    for (const char *option : {"\\-q", "\\-p", "\\-h"})
        EXPECT_NE(check.find(std::string(".B ") + option + "\n"), std::string::npos) << option;
}

} // namespace
