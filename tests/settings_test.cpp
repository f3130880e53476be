#include "settings/settings.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <cerrno>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char *PORT = "MOD_OSTRIVO_PORT";
constexpr const char *SRC = "MOD_OSTRIVO_SRC_IPADDR";

class SettingsFile : public ::testing::Test {
  protected:
    void TearDown() override
    {
        if (!path_.empty())
            unlink(path_.c_str());
    }

    // Writes content to a fresh file and opens it the way the daemon does.
    settings_handle open_with(const std::string &content)
    {
        if (path_.empty()) {
            const char *tmp = std::getenv("TMPDIR");
            path_ = std::string(tmp != nullptr ? tmp : "/tmp") + "/ostrivo-settings-XXXXXX";
            int fd = mkstemp(path_.data());
            EXPECT_GE(fd, 0);
            close(fd);
        }
        std::FILE *out = std::fopen(path_.c_str(), "w");
        EXPECT_NE(out, nullptr);
        std::fwrite(content.data(), 1, content.size(), out);
        std::fclose(out);
        return settings_open(path_.c_str(), "r");
    }

    std::uint32_t port_from(const std::string &content)
    {
        return settings_get_uint(open_with(content), PORT);
    }
    std::string string_from(const std::string &content)
    {
        return settings_get_string(open_with(content), "KEY");
    }
    ipv4_host address_from(const std::string &value)
    {
        return settings_get_ipaddr(open_with(std::string(SRC) + "=" + value + "\n"), SRC);
    }

    std::string path_;
};

TEST_F(SettingsFile, KeysMatchWholeAndIgnoringCase)
{
    EXPECT_EQ(port_from("MOD_OSTRIVO_PORT=9\n"), 9u);
    EXPECT_EQ(port_from("mod_ostrivo_port=9\n"), 9u);
    EXPECT_EQ(port_from("MOD_OSTRIVO_PORT=\"9\"\n"), 9u);
    EXPECT_EQ(port_from("MOD_OSTRIVO_PORT=9"), 9u) << "last line without a line feed";
    EXPECT_EQ(port_from("A=1\r\nMOD_OSTRIVO_PORT=9\r\nB=2\r\n"), 9u);
    EXPECT_EQ(port_from("MOD_OSTRIVO_PORT = 9\n"), 0u);
    EXPECT_EQ(port_from(" MOD_OSTRIVO_PORT=9\n"), 0u);
    EXPECT_EQ(port_from("#MOD_OSTRIVO_PORT=9\n"), 0u);
    EXPECT_EQ(port_from("MOD_OSTRIVO_PORT_X=9\nMOD_OSTRIVO_POR=8\n"), 0u);
    EXPECT_EQ(port_from("\n# comment\nnot an assignment\nMOD_OSTRIVO_PORT=9\n"), 9u);
    EXPECT_EQ(port_from("MOD_OSTRIVO_PORT=9\nMOD_OSTRIVO_PORT=10\n"), 9u) << "first line wins";
}

TEST_F(SettingsFile, QuotesAndLineEnds)
{
    EXPECT_EQ(string_from("KEY=plain text\n"), "plain text");
    EXPECT_EQ(string_from("KEY=\"quoted text\"\n"), "quoted text");
    EXPECT_EQ(string_from("KEY=ab\"cd\n"), "ab");
    EXPECT_EQ(string_from("KEY=\"a\"b\"\n"), "a\"b");
    EXPECT_EQ(string_from("KEY=a=b\n"), "a=b");
    EXPECT_EQ(string_from("KEY=crlf\r\n"), "crlf");
    EXPECT_EQ(string_from("KEY=\"v\"\r\n"), "v");
    EXPECT_EQ(string_from("KEY=\n"), "");
    EXPECT_EQ(string_from("KEY=\"\n"), "");
    EXPECT_EQ(string_from("KEY=\"\"\n"), "");
}

// What the reader cuts from a line, and the value that leaves.
TEST_F(SettingsFile, EachCutIsFoundWithWhatItLeftUnread)
{
    using cuts = std::vector<std::pair<settings_cut, std::string>>;
    struct {
        std::string line;
        cuts found;
        const char *value; // null: no '=' was read
    } const cases[] = {
        {"K=v", {}, "v"},
        {"K=\"v\"", {{settings_cut::quote, "\""}}, "v"},
        {std::string("K=a\0b\r\"c", 8), {{settings_cut::nul, std::string("\0b\r\"c", 5)}}, "a"},
        {std::string("K=a\rb\"c\"\0x", 10),
         {{settings_cut::nul, std::string("\0x", 2)}, {settings_cut::cr, "\rb\"c\""}},
         "a"},
        {"K=\"a\"b\"\r", {{settings_cut::cr, "\r"}, {settings_cut::quote, "\""}}, "a\"b"},
        {"\"K\"=1", {{settings_cut::quote, "\"=1"}}, nullptr},
    };
    for (const auto &each : cases) {
        SCOPED_TRACE(each.line);
        settings_handle file = open_with("first\n" + each.line + "\n");
        settings_cursor cursor;
        settings_line line{};
        ASSERT_TRUE(settings_next_line(file, cursor, line));
        EXPECT_EQ(line.finding_count, 0u);
        ASSERT_TRUE(settings_next_line(file, cursor, line));
        cuts found;
        for (std::size_t i = 0; i < line.finding_count; ++i) {
            EXPECT_EQ(line.findings[i].line, 2u);
            found.emplace_back(line.findings[i].kind, std::string(line.findings[i].span));
        }
        EXPECT_EQ(found, each.found);
        EXPECT_EQ(line.value == nullptr ? "(none)" : std::string(line.value),
                  each.value == nullptr ? "(none)" : each.value);
    }
}

TEST_F(SettingsFile, FoundEmptyValueDiffersFromAbsentKeyOnlyInFind)
{
    settings_handle file = open_with("KEY=\"\"\n");
    const char *value = settings_find(file, "KEY");
    ASSERT_NE(value, nullptr);
    EXPECT_STREQ(value, "");
    EXPECT_EQ(settings_find(file, "OTHER"), nullptr);
    EXPECT_EQ(settings_get_uint(file, "KEY"), 0u);
    EXPECT_EQ(settings_get_string(file, "OTHER"), "");
    // Lookups rescan from the start, in any order.
    EXPECT_NE(settings_find(file, "key"), nullptr);
    EXPECT_EQ(settings_close(std::move(file)), 0);
}

TEST_F(SettingsFile, NullHandleGivesDefaults)
{
    settings_handle missing = settings_open("/nonexistent/ostrivo/settings", "r");
    EXPECT_EQ(missing, nullptr);
    EXPECT_EQ(settings_find(missing, PORT), nullptr);
    EXPECT_EQ(settings_get_string(missing, PORT), "");
    EXPECT_EQ(settings_get_uint(missing, PORT), 0u);
    EXPECT_EQ(settings_get_ipaddr(missing, SRC), 0u);
    EXPECT_EQ(settings_close(std::move(missing)), 0);
}

TEST_F(SettingsFile, UnsignedNumbers)
{
    EXPECT_EQ(port_from("MOD_OSTRIVO_PORT= 9\n"), 9u);
    EXPECT_EQ(port_from("MOD_OSTRIVO_PORT=\t+9\n"), 9u);
    EXPECT_EQ(port_from("MOD_OSTRIVO_PORT=9abc\n"), 9u);
    EXPECT_EQ(port_from("MOD_OSTRIVO_PORT=007\n"), 7u);
    EXPECT_EQ(port_from("MOD_OSTRIVO_PORT=abc\n"), 0u);
    EXPECT_EQ(port_from("MOD_OSTRIVO_PORT=+\n"), 0u);
    EXPECT_EQ(port_from("MOD_OSTRIVO_PORT=4294967295\n"), 4294967295u);
    // Would wrap under a plain %u conversion.
    EXPECT_EQ(port_from("MOD_OSTRIVO_PORT=-1\n"), 0u);
    EXPECT_EQ(port_from("MOD_OSTRIVO_PORT= -5\n"), 0u);
    EXPECT_EQ(port_from("MOD_OSTRIVO_PORT=4294967296\n"), 0u);
    EXPECT_EQ(port_from("MOD_OSTRIVO_PORT=99999999999999999999999\n"), 0u);
}

TEST_F(SettingsFile, Addresses)
{
    EXPECT_EQ(address_from("192.168.1.255"), 0xC0A801FFu);
    EXPECT_EQ(address_from("\"10.0.0.1\""), 0x0A000001u);
    EXPECT_EQ(address_from("10.0.0.1 gateway"), 0x0A000001u);
    EXPECT_EQ(address_from("10.0.0.1.7"), 0x0A000001u);
    EXPECT_EQ(address_from("10. 0. 0. 1"), 0x0A000001u);
    EXPECT_EQ(address_from("255.255.255.255"), 0xFFFFFFFFu);
    EXPECT_EQ(address_from("10.0.0"), 0u);
    EXPECT_EQ(address_from("10.0.0."), 0u);
    EXPECT_EQ(address_from("10 .0.0.1"), 0u);
    EXPECT_EQ(address_from("10,0,0,1"), 0u);
    EXPECT_EQ(address_from("host.example"), 0u);
    // Out-of-range or negative parts would otherwise carry or wrap into
    // another host's address; a plus sign names the same part.
    EXPECT_EQ(address_from("1.2.3.256"), 0u);
    EXPECT_EQ(address_from("1.2.256.0"), 0u);
    EXPECT_EQ(address_from("256.0.0.1"), 0u);
    EXPECT_EQ(address_from("10.0.0.4294967297"), 0u);
    EXPECT_EQ(address_from("10.0.0.-1"), 0u);
    EXPECT_EQ(address_from("+10.0.0.1"), 0x0A000001u);
    EXPECT_EQ(address_from("10.+0.0. +1"), 0x0A000001u);
}

TEST_F(SettingsFile, LongLinesAreExaminedWhole)
{
    // A key deep inside one long line must not read as a line of its own.
    std::string filler = "JUNK=" + std::string(16383 - 5, 'x');
    EXPECT_EQ(port_from(filler + "MOD_OSTRIVO_PORT=7\nMOD_OSTRIVO_PORT=8\n"), 8u);

    std::string domain(100000, 'd');
    settings_handle file = open_with("A=" + std::string(20000, 'a') + "\nKEY=" + domain + "\n");
    EXPECT_EQ(settings_get_string(file, "KEY"), domain);
    EXPECT_EQ(settings_get_string(file, "A").size(), 20000u);
}

TEST_F(SettingsFile, ByteOrderMarkIsSkippedAtTheStartOnly)
{
    EXPECT_EQ(port_from("\xEF\xBB\xBFMOD_OSTRIVO_PORT=9\n"), 9u);
    EXPECT_EQ(port_from("A=1\n\xEF\xBB\xBFMOD_OSTRIVO_PORT=9\n"), 0u);
}

// The file is read once, when opened: a rewrite meanwhile can neither mix
// two versions nor lose the keys read after it.
TEST_F(SettingsFile, LookupsReadTheFileAsItWasWhenOpened)
{
    settings_handle file = open_with("MOD_OSTRIVO_PORT=9\nKEY=old\n");
    ASSERT_TRUE(file);
    EXPECT_EQ(settings_get_uint(file, PORT), 9u);
    open_with("KEY=new\n");
    EXPECT_EQ(settings_get_string(file, "KEY"), "old");
    EXPECT_EQ(settings_get_uint(file, PORT), 9u);
}

TEST_F(SettingsFile, OnlyARegularFileOfBoundedSizeIsRead)
{
    std::string fill(SETTINGS_SIZE_LIMIT - 19, '#');
    EXPECT_EQ(port_from(fill + "\nMOD_OSTRIVO_PORT=9"), 9u) << "exactly the limit";
    errno = 0;
    EXPECT_FALSE(open_with(fill + "\nMOD_OSTRIVO_PORT=90"));
    EXPECT_EQ(errno, EFBIG);

    // A FIFO would block the open, /dev/zero would be read for ever.
    std::string fifo = path_ + ".fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const char *path : {fifo.c_str(), "/dev/zero", "/"}) {
        errno = 0;
        EXPECT_FALSE(settings_open(path, "r")) << path;
        EXPECT_EQ(errno, EINVAL) << path;
    }
    unlink(fifo.c_str());
}

// The example installed beside the daemon must read as the values it shows.
TEST(SettingsExample, ReadsAsWritten)
{
    settings_handle file = settings_open(OSTRIVO_SETTINGS_EXAMPLE, "r");
    ASSERT_TRUE(file);
    EXPECT_EQ(settings_get_ipaddr(file, SRC), 0xC000020Au);                      // 192.0.2.10
    EXPECT_EQ(settings_get_ipaddr(file, "MOD_OSTRIVO_DST_IPADDR"), 0xC63364FFu); // 198.51.100.255
    EXPECT_EQ(settings_get_uint(file, PORT), 5000u);
    EXPECT_EQ(settings_get_uint(file, "MOD_OSTRIVO_ENABLED"), 1u);
    EXPECT_EQ(settings_get_string(file, "MOD_OSTRIVO_DOMAIN"), "");

    // A comment holding an equals sign would read as a setting.
    std::FILE *in = std::fopen(OSTRIVO_SETTINGS_EXAMPLE, "r");
    ASSERT_NE(in, nullptr);
    char line[512];
    while (std::fgets(line, sizeof line, in) != nullptr) {
        if (line[0] == '#') {
            EXPECT_EQ(std::strchr(line, '='), nullptr) << line;
        }
    }
    std::fclose(in);
}

} // namespace
