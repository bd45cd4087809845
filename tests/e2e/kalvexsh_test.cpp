// kalvexsh itself: its input language, its answers to faulty lines, and its command line.
#include "harness.h"

#include <gtest/gtest.h>

#include <fstream>
#include <unistd.h>

namespace kx {
namespace {

TEST(Kalvexsh, FaultyLinesGetAnErrorAndTheHostGoesOn) {
    const std::string lines[] = {
        "FOO",
        "#0",
        "#44",
        "#x",
        "#",
        "OPENCOM",
        "OPENCOM 5",
        "OPENCOM \"abc",
        "OPENCOM \"a\\q\"",
        "OPENCOM \"\\x\"",
        "OPENCOM \"a\" junk",
        "OPENCOM(\"a\"",
        "TIMEOUTS",
        "TIMEOUTS abc",
        "TIMEOUTS 12abc",
        "TIMEOUTS 0x1ffffffff",
        "TIMEOUTS -2147483649",
        "TIMEOUTS \"5\"",
        "READBYTE 5",
        "CLOSECOM null",
        "DELAY",
        "DELAY abc",
        "DELAY 1ms",
        "!nosuch",
        "!sleep -5",
        "!readbytes",
        "!readbytes 5 3",
        "!digest maybe",
        "!time",
        "!time !qpc",
        "!time FOO",
        "!setpriority",
        "!load",
        "!last",
        "!last READBYTE",
        "!last READSTRING",
        std::string(100000, 'A'),
    };
    Host host;
    for (const std::string &line : lines) {
        SCOPED_TRACE(line.substr(0, 40));
        auto answer = host.send(line);
        EXPECT_EQ(answer.back().rfind("error: ", 0), 0u) << answer.back();
        EXPECT_EQ(host.send("!echo alive").back(), "alive") << "host did not go on";
    }
    EXPECT_EQ(host.finish(), 1) << "exit status after errors";
}

TEST(Kalvexsh, BlankLinesAndCommentsPrintNothing) {
    Host host;
    for (const char *line : {"", "   ", "\t", "; a comment", "   ; indented comment", "\r"})
        host.send(line, 0);
    EXPECT_EQ(host.send("!echo marker").back(), "marker");
    EXPECT_EQ(host.finish(), 0);
}

TEST(Kalvexsh, NamesInAnyCaseOrdinalsAndCallSyntaxReachTheSameFunction) {
    Host host;
    const struct {
        const char *line;
        const char *answer;
    } cases[] = {
        {"READBYTE", "READBYTE -> -1"},
        {"readbyte", "READBYTE -> -1"},
        {"#6", "READBYTE -> -1"},
        {"#30", "READBYTE2 -> -1"},
        {"TIMEINIT ; restart", "TIMEINIT -> 1"},
        {"#20", "TIMEINIT -> 1"},
        {"SendByte(0x41)", "SENDBYTE -> 0"},
        {"#5 65", "SENDBYTE -> 0"},
        {"  READSTRING  ", "READSTRING -> \"\""},
        {"#8", "READSTRING -> \"\""},
        {"DELAY(0)", "DELAY -> (void)"},
        {"#22 -1", "DELAY -> (void)"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(host.send(c.line).back(), c.answer) << c.line;
}

TEST(Kalvexsh, TextArgumentsPassEveryByteTheirEscapesName) {
    Pty pty;
    ComPort port(pty);
    Host host;
    ASSERT_EQ(host.integer(open_call("", port)), 1);
    const struct {
        const char *argument;
        std::string bytes;
    } cases[] = {
        {"\"\\r\\n\\t\\\\\\\"\"", "\r\n\t\\\""},
        {"\"\\x41\\x7\\xff\\x0a\"", "A\x07\xff\n"},
        {"\"a;b\" ; comment", "a;b"},
        {"\"\\x41B\"", "AB"}, // at most two hex digits
        {"\"stop\\0here\"", "stop"},
        {"\"x\\x00y\"", "x"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.argument);
        EXPECT_EQ(host.result(std::string("SENDSTRING ") + c.argument), "(void)");
        EXPECT_EQ(pty.read_exact(c.bytes.size()), c.bytes);
        EXPECT_EQ(pty.read_quiet(30), "");
    }
}

TEST(Kalvexsh, TextResultsAreEscapedOrDigested) {
    Pty pty;
    ComPort port(pty);
    Host host;
    ASSERT_EQ(host.integer(open_call("", port)), 1);
    ASSERT_EQ(host.integer("TIMEOUTS 100"), 1);
    const std::string line = "q\"\\\t\n\x01\x7f\xfe";
    pty.write(line + "\r");
    EXPECT_EQ(host.result("READSTRING"), "\"q\\\"\\\\\\t\\n\\x01\\x7f\\xfe\"");
    ASSERT_EQ(host.result("!digest on"), "on");
    pty.write(line + "\r");
    char expected[64];
    std::snprintf(expected, sizeof expected, "[len=%zu fnv1a=0x%08x]", line.size(), fnv1a(line));
    EXPECT_EQ(host.result("READSTRING"), expected);
}

TEST(Kalvexsh, CommandLine) {
    {
        HostOptions o;
        o.args = {"-h"};
        Host host(o);
        EXPECT_EQ(host.read_line().rfind("usage: kalvexsh", 0), 0u);
        EXPECT_EQ(host.finish(), 0);
    }
    {
        HostOptions o;
        o.args = {"-d", windows_path("/nonexistent/KALVEX.dll")};
        Host host(o);
        EXPECT_EQ(host.read_line().rfind("error: cannot load", 0), 0u);
        EXPECT_EQ(host.send("READBYTE").back().rfind("error: no library loaded", 0), 0u);
        EXPECT_EQ(host.result("!load " + windows_path(dll_file())).rfind("0x", 0), 0u);
        EXPECT_EQ(host.integer("READBYTE"), -1);
        EXPECT_EQ(host.finish(), 1);
    }
    {
        std::string script = prefix_dir() + "/kx-script-" + std::to_string(getpid()) + ".txt";
        std::ofstream(script) << "; a script\r\n#20\r\nTIMEREAD\n!echo end\nREADBYTE";
        HostOptions o;
        o.args = {windows_path(script)};
        Host host(o);
        EXPECT_EQ(host.read_line(), "TIMEINIT -> 1");
        EXPECT_EQ(host.read_line().rfind("TIMEREAD -> ", 0), 0u);
        EXPECT_EQ(host.read_line(), "end");
        EXPECT_EQ(host.read_line(), "READBYTE -> -1");
        EXPECT_EQ(host.finish(), 0);
        unlink(script.c_str());
    }
    {
        HostOptions o;
        o.args = {"-x"};
        Host host(o);
        EXPECT_EQ(host.finish(), 2);
    }
}

} // namespace
} // namespace kx
