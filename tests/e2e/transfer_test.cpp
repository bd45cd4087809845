// Bytes and lines through the real DLL in both directions, on one slot and on both at once.
#include "harness.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <thread>

namespace kx {
namespace {

// One slot open on its own pty; reads wait 100 ms, so bytes written by the test just before a
// read are there in time even on a busy machine.
struct Line {
    Pty pty;
    ComPort port{pty};
    Host host;
    std::string s;

    explicit Line(const char *slot) : s(slot) {
        EXPECT_EQ(host.integer(open_call(s, port)), 1);
        EXPECT_EQ(host.integer("TIMEOUTS" + s + " 100"), 1);
    }
    std::string call(const std::string &name) { return name + s; }
    // Waits until the receive queue holds n bytes, so counts are not read mid-arrival.
    bool queued(int n, int timeout_ms = 5000) {
        double deadline = now_ms() + timeout_ms;
        while (host.integer(call("INBUFFER")) != n)
            if (now_ms() > deadline) return false;
        return true;
    }
};

TEST(Transfer, SendByteWritesTheLowEightBits) {
    const struct {
        const char *argument;
        unsigned char byte;
    } cases[] = {{"0x41", 0x41}, {"0x141", 0x41},     {"0", 0x00},          {"0x100", 0x00},
                 {"255", 0xff},  {"-1", 0xff},        {"0x7fffff80", 0x80}, {"-2147483648", 0x00},
                 {"13", 0x0d},   {"0xffffff0a", 0x0a}};
    for (const char *slot : SLOTS) {
        Line line(slot);
        for (const auto &c : cases) {
            SCOPED_TRACE(line.call("SENDBYTE") + " " + c.argument);
            EXPECT_EQ(line.host.integer(line.call("SENDBYTE") + " " + c.argument), 1);
            EXPECT_EQ(line.pty.read_exact(1), std::string(1, (char)c.byte));
        }
        EXPECT_EQ(line.pty.read_quiet(50), "");
    }
}

TEST(Transfer, SendStringWritesTheBytesUpToItsEnd) {
    std::string every_byte;
    for (int b = 1; b < 256; ++b)
        every_byte += (char)b;
    const struct {
        std::string argument;
        std::string arrives;
    } cases[] = {
        {quote("hello"), "hello"},
        {quote("AT\r\n"), "AT\r\n"},
        {quote(every_byte), every_byte},
        {quote(std::string("x\0y", 3)), "x"}, // the text ends at its NUL
        {quote(""), ""},
        {"null", ""},
        {quote(std::string(3000, 'q')), std::string(3000, 'q')},
    };
    for (const char *slot : SLOTS) {
        Line line(slot);
        for (const auto &c : cases) {
            SCOPED_TRACE(line.call("SENDSTRING") + " " + c.argument.substr(0, 40));
            EXPECT_EQ(line.host.result(line.call("SENDSTRING") + " " + c.argument), "(void)");
            EXPECT_EQ(line.pty.read_exact(c.arrives.size()), c.arrives);
            EXPECT_EQ(line.pty.read_quiet(30), "");
        }
    }
}

TEST(Transfer, LargeSendStringArrivesWhole) {
    Line line("");
    std::string text = random_bytes(200000, 7);
    for (char &c : text)
        if (c == 0) c = 1;
    std::string got;
    std::thread reader([&] { got = line.pty.read_exact(text.size(), 60000); });
    EXPECT_EQ(line.host.result("SENDSTRING " + quote(text), 60000), "(void)");
    reader.join();
    EXPECT_EQ(got.size(), text.size());
    EXPECT_TRUE(got == text);
}

TEST(Transfer, ReadByteGivesEachByteThenMinusOne) {
    const std::string bytes = std::string("AB\xff\x00\r\n\x80", 7);
    for (const char *slot : SLOTS) {
        Line line(slot);
        line.pty.write(bytes);
        for (unsigned char b : bytes)
            EXPECT_EQ(line.host.integer(line.call("READBYTE")), (int)b);
        EXPECT_EQ(line.host.integer(line.call("READBYTE")), -1);
    }
}

TEST(Transfer, ReadStringSplitsLines) {
    const struct {
        const char *name;
        std::string peer_sends;
        std::vector<std::string> lines; // READSTRING results in order; "" ends each case
    } cases[] = {
        {"line ended by CR", "AB\r", {"AB"}},
        {"CR LF: the LF starts the next line", "AB\r\nCD\r", {"AB", "\nCD"}},
        {"lines in a row", "one\rtwo\rthree\r", {"one", "two", "three"}},
        {"empty line", "\rQ\r", {"", "Q"}},
        {"NUL inside: text ends there, line at the CR", std::string("x\0y\rz\r", 6), {"x", "z"}},
        {"no CR: the pause ends the line", "abc", {"abc"}},
        {"high bytes and LFs as received", "\x80\xfe\xff\n\n\r", {"\x80\xfe\xff\n\n"}},
    };
    for (const char *slot : SLOTS) {
        Line line(slot);
        for (const auto &c : cases) {
            SCOPED_TRACE(line.call("READSTRING") + ": " + c.name);
            line.pty.write(c.peer_sends);
            for (const std::string &expected : c.lines)
                EXPECT_EQ(line.host.text(line.call("READSTRING")), expected);
            EXPECT_EQ(line.host.text(line.call("READSTRING")), "");
        }
    }
}

TEST(Transfer, PauseEndsALineAndTheRestFormsTheNext) {
    Line line("");
    line.pty.write("ab");
    EXPECT_EQ(line.host.text("READSTRING"), "ab");
    line.pty.write("cd\r");
    EXPECT_EQ(line.host.text("READSTRING"), "cd");
}

TEST(Transfer, ReadStringTextStaysValidUntilTheSameSlotReadsAgain) {
    // !last reads each slot's last text again where the library keeps it.
    Pty one, two;
    ComPort a(one), b(two);
    Host host;
    ASSERT_EQ(host.integer(open_call("", a)), 1);
    ASSERT_EQ(host.integer(open_call("2", b)), 1);
    ASSERT_EQ(host.integer("TIMEOUTS 100"), 1);
    ASSERT_EQ(host.integer("TIMEOUTS2 100"), 1);
    one.write("first\r");
    two.write("second line\r");
    EXPECT_EQ(host.text("READSTRING"), "first");
    EXPECT_EQ(host.text("READSTRING2"), "second line");
    // Other calls on either slot, including the other slot's line reads, leave it alone.
    one.write("xyz");
    two.write("third\r");
    EXPECT_EQ(host.integer("READBYTE"), 'x');
    EXPECT_EQ(host.result("SENDSTRING \"out\""), "(void)");
    EXPECT_EQ(host.text("READSTRING2"), "third");
    EXPECT_EQ(host.text("READSTRING2"), "");
    EXPECT_EQ(unquote(host.result("!last READSTRING")), "first");
    EXPECT_EQ(unquote(host.result("!last READSTRING2")), "");
    // The slot's own next read replaces it.
    EXPECT_EQ(host.text("READSTRING"), "yz");
    EXPECT_EQ(unquote(host.result("!last READSTRING")), "yz");
    EXPECT_EQ(one.read_exact(3), "out");
}

TEST(Transfer, MegabyteLineArrivesWhole) {
    Line line("");
    std::string text = random_bytes(1 << 20, 11);
    for (char &c : text)
        if (c == '\r' || c == '\0') c = 'r';
    ASSERT_EQ(line.host.result("!digest on"), "on");
    // A pause in the feed would end the line; a second is more than a busy machine needs.
    ASSERT_EQ(line.host.integer("TIMEOUTS 1000"), 1);
    Feeder feeder(line.pty, text + "\r", 120000);
    std::string digest = line.host.result("READSTRING", 120000);
    // All of it was read once the line came back whole; else the host stopped reading early.
    EXPECT_TRUE(feeder.finish(5000));
    char expected[64];
    std::snprintf(expected, sizeof expected, "[len=%zu fnv1a=0x%08x]", text.size(), fnv1a(text));
    EXPECT_EQ(digest, expected);
}

TEST(Transfer, MegabyteOfRandomBytesThroughReadByte) {
    for (const char *slot : SLOTS) {
        SCOPED_TRACE(std::string("slot ") + (*slot ? slot : "1"));
        Line line(slot);
        ASSERT_EQ(line.host.integer(line.call("TIMEOUTS") + " 1000"), 1);
        std::string data = random_bytes(1 << 20, *slot ? 23 : 5);
        Feeder feeder(line.pty, data, 120000);
        std::string r = line.host.result(std::string("!readbytes ") + std::to_string(data.size()) +
                                             (*slot ? " 2" : " 1"),
                                         120000);
        EXPECT_TRUE(feeder.finish(5000));
        char expected[64];
        std::snprintf(expected, sizeof expected, "got=%zu fnv1a=0x%08x", data.size(), fnv1a(data));
        EXPECT_EQ(r, expected);
        EXPECT_EQ(line.host.integer(line.call("READBYTE")), -1);
    }
}

TEST(Transfer, InBufferCountsWaitingBytes) {
    for (const char *slot : SLOTS) {
        Line line(slot);
        for (int n : {1, 7, 100, 1000}) {
            SCOPED_TRACE(line.call("INBUFFER") + " with " + std::to_string(n) + " bytes");
            line.pty.write(std::string((size_t)n, 'i'));
            ASSERT_TRUE(line.queued(n));
            EXPECT_EQ(line.host.integer(line.call("READBYTE")), 'i');
            EXPECT_EQ(line.host.integer(line.call("INBUFFER")), n - 1);
            EXPECT_NE(line.host.integer(line.call("CLEARBUFFER")), 0);
            EXPECT_EQ(line.host.integer(line.call("INBUFFER")), 0);
            EXPECT_EQ(line.host.integer(line.call("READBYTE")), -1);
        }
        EXPECT_EQ(line.host.integer(line.call("OUTBUFFER")), 0);
    }
}

TEST(Transfer, ClearBufferDropsOnlyWhatCameBefore) {
    Line line("");
    line.pty.write("junk");
    ASSERT_TRUE(line.queued(4));
    EXPECT_NE(line.host.integer("CLEARBUFFER"), 0);
    EXPECT_EQ(line.host.integer("READBYTE"), -1);
    line.pty.write("Z");
    EXPECT_EQ(line.host.integer("READBYTE"), 'Z');
    // The port goes on sending after its output was purged too.
    EXPECT_EQ(line.host.result("SENDSTRING \"out\""), "(void)");
    EXPECT_EQ(line.pty.read_exact(3), "out");
}

TEST(Transfer, BothSlotsAtOnceEachOnItsOwnLine) {
    Pty one, two;
    ComPort a(one), b(two);
    Host host;
    ASSERT_EQ(host.integer(open_call("", a)), 1);
    ASSERT_EQ(host.integer(open_call("2", b, "19200,N,8,2")), 1);
    ASSERT_EQ(host.integer("TIMEOUTS 100"), 1);
    ASSERT_EQ(host.integer("TIMEOUTS2 100"), 1);
    termios t1 = one.settings(), t2 = two.settings();
    EXPECT_EQ(cfgetospeed(&t1), (speed_t)B9600);
    EXPECT_EQ(cfgetospeed(&t2), (speed_t)B19200);

    const struct {
        Pty *to;
        Pty *not_to;
        const char *call;
        const char *bytes;
    } sends[] = {
        {&one, &two, "SENDBYTE 0x31", "1"},
        {&two, &one, "SENDBYTE2 0x32", "2"},
        {&one, &two, "SENDSTRING \"one\"", "one"},
        {&two, &one, "SENDSTRING2 \"two\"", "two"},
    };
    for (const auto &s : sends) {
        SCOPED_TRACE(s.call);
        host.send(s.call);
        EXPECT_EQ(s.to->read_exact(strlen(s.bytes)), s.bytes);
        EXPECT_EQ(s.not_to->read_quiet(30), "");
    }

    const struct {
        Pty *from;
        const char *reads;
        const char *stays_empty;
    } receives[] = {
        {&one, "READSTRING", "READSTRING2"},
        {&two, "READSTRING2", "READSTRING"},
    };
    for (const auto &r : receives) {
        SCOPED_TRACE(r.reads);
        r.from->write("hello\r");
        EXPECT_EQ(host.text(r.stays_empty), "");
        EXPECT_EQ(host.text(r.reads), "hello");
    }
}

} // namespace
} // namespace kx
