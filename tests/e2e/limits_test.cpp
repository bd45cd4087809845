// Arguments at their limits through the real DLL: every text as a null pointer, an empty text and
// 16 MiB, every integer at 0, -1, INT_MIN and INT_MAX, DELAY with values that are not finite, and
// 16 MiB through SENDSTRING and READSTRING byte for byte. Nothing may crash or hang the host.
#include "background.h"
#include "harness.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <memory>
#include <string>

namespace kx {
namespace {

const size_t MIB16 = 16u << 20;
const int BIG_MS = 180000; // for a call that carries 16 MiB through the host's pipes

std::string slot_name(const std::string &s) { return s.empty() ? "slot 1" : "slot 2"; }

// Random bytes from 1 to 255 other than except: a text ends at a NUL, a line at a CR.
std::string big_text(size_t n, uint32_t seed, char except = 0) {
    std::string text = random_bytes(n, seed);
    for (char &c : text)
        if (c == 0 || c == except) c = 'z';
    return text;
}

std::string digest(const std::string &bytes) {
    char d[64];
    std::snprintf(d, sizeof d, "[len=%zu fnv1a=0x%08x]", bytes.size(), fnv1a(bytes));
    return d;
}

struct Line {
    Pty pty;
    ComPort port{pty};
    ModemLines modem;
    int entry = modem.attach(pty);
    std::unique_ptr<Host> host;
    std::string s;

    explicit Line(const std::string &slot) : s(slot) {
        HostOptions options;
        options.modem = &modem;
        host = std::make_unique<Host>(options);
    }
    std::string mode() const { return port.name() + ":9600,N,8,1"; }
    int open() { return host->integer("OPENCOM" + s + " " + quote(mode())); }
};

TEST(Limits, TextArgumentsNullEmptyAndSixteenMebibytes) {
    for (const char *suffix : SLOTS) {
        const std::string s = suffix;
        SCOPED_TRACE(slot_name(s));
        Line line(s);
        Host &host = *line.host;

        // OPENCOM: no text names no device; 16 MiB opens the port its start names, or nothing when
        // its digits run on past any device name.
        const struct {
            const char *name;
            std::string argument;
            int result;
        } opens[] = {
            {"null", "null", 0},
            {"empty", quote(""), 0},
            {"16 MiB naming the port",
             quote(line.mode() + std::string(MIB16 - line.mode().size(), ' ')), 1},
            {"16 MiB of digits", quote("COM" + std::string(MIB16 - 3, '7')), 0},
        };
        for (const auto &o : opens) {
            SCOPED_TRACE(std::string("OPENCOM") + s + " " + o.name);
            EXPECT_EQ(host.integer("OPENCOM" + s + " " + o.argument, BIG_MS), o.result);
            // Whatever the open gave, the slot says so on its next call.
            EXPECT_EQ(host.integer("SENDBYTE" + s + " 0x55"), o.result);
            if (o.result == 1) {
                EXPECT_EQ(line.pty.read_exact(1), "U");
            }
        }

        // SENDSTRING: nothing for null or empty, 16 MiB byte for byte.
        ASSERT_EQ(line.open(), 1);
        const std::string text = big_text(MIB16, 16);
        const struct {
            const char *name;
            std::string argument;
            const std::string *arrives;
        } sends[] = {
            {"null", "null", nullptr},
            {"empty", quote(""), nullptr},
            {"16 MiB", quote(text), &text},
        };
        for (const auto &c : sends) {
            SCOPED_TRACE(std::string("SENDSTRING") + s + " " + c.name);
            std::string got;
            Background reader(
                [&] { got = c.arrives ? line.pty.read_exact(c.arrives->size(), BIG_MS) : ""; });
            EXPECT_EQ(host.result("SENDSTRING" + s + " " + c.argument, BIG_MS), "(void)");
            reader.join();
            if (c.arrives) {
                EXPECT_EQ(got.size(), c.arrives->size());
                EXPECT_TRUE(got == *c.arrives) << "the text arrived changed";
            }
            EXPECT_EQ(line.pty.read_quiet(50), "");
        }
    }
}

TEST(Limits, IntegerArgumentsAtTheirExtremes) {
    const int values[] = {0, -1, INT_MIN, INT_MAX};
    for (const char *suffix : SLOTS) {
        const std::string s = suffix;
        SCOPED_TRACE(slot_name(s));
        Line line(s);
        Host &host = *line.host;
        ASSERT_EQ(line.open(), 1);
        for (int v : values) {
            const std::string arg = " " + std::to_string(v);
            SCOPED_TRACE(arg);
            // Wine takes any time-out constant and any queue size for an open port.
            EXPECT_EQ(host.integer("TIMEOUTS" + s + arg), 1);
            EXPECT_EQ(host.integer("BUFFERSIZE" + s + arg), 1);
            EXPECT_EQ(host.integer("SENDBYTE" + s + arg), 1);
            EXPECT_EQ(line.pty.read_exact(1), std::string(1, static_cast<char>(v & 0xff)));
            // Any non-zero value asserts the line, 0 releases it.
            EXPECT_EQ(host.integer("DTR" + s + arg), 1);
            EXPECT_EQ(line.modem.dtr(line.entry), v != 0);
            EXPECT_EQ(host.integer("RTS" + s + arg), 1);
            EXPECT_EQ(line.modem.rts(line.entry), v != 0);
            EXPECT_EQ(host.integer("TXD" + s + arg), 1);
            EXPECT_EQ(line.modem.breaking(line.entry), v != 0);
        }
        // The same values on an empty slot: every call fails.
        EXPECT_EQ(host.result("CLOSECOM" + s), "(void)");
        for (int v : values)
            for (const char *fn : {"TIMEOUTS", "BUFFERSIZE", "SENDBYTE", "DTR", "RTS", "TXD"}) {
                std::string call = fn + s + " " + std::to_string(v);
                EXPECT_EQ(host.integer(call), 0) << call;
            }
        EXPECT_EQ(line.pty.read_quiet(50), "");
    }
}

TEST(Limits, DelayReturnsAtOnceForValuesThatAreNotFiniteOrNotPositive) {
    Host host;
    // Far more than a call that returns at once takes, far less than a spin that never ends.
    const double AT_ONCE_MS = 1000;
    for (const char *ms : {"nan", "-nan", "inf", "-inf", "0", "-1", "-2147483648"}) {
        SCOPED_TRACE(std::string("DELAY ") + ms);
        std::string result;
        EXPECT_LT(host.timed(std::string("DELAY ") + ms, &result), AT_ONCE_MS);
        EXPECT_EQ(result, "(void)");
    }
    // And the stopwatch still counts afterwards.
    ASSERT_EQ(host.integer("TIMEINIT"), 1);
    EXPECT_GE(host.timed("DELAY 20"), 20 - 1);
}

TEST(Limits, SixteenMebibyteLineThroughReadString) {
    Line line("2");
    Host &host = *line.host;
    ASSERT_EQ(line.open(), 1);
    // A pause in the feed would end the line; a second is more than a busy machine needs.
    ASSERT_EQ(host.integer("TIMEOUTS2 1000"), 1);
    ASSERT_EQ(host.result("!digest on"), "on");
    const std::string text = big_text(MIB16, 61, '\r');
    Feeder feeder(line.pty, text + "\rnext\r", BIG_MS);
    double t0 = now_ms();
    EXPECT_EQ(host.result("READSTRING2", BIG_MS), digest(text));
    double seconds = (now_ms() - t0) / 1000;
    EXPECT_TRUE(feeder.finish(5000));
    EXPECT_EQ(host.result("READSTRING2"), digest("next")) << "the CR ended the line, no more";
    std::printf("[ figures  ] %s: a %zu-byte line through READSTRING2 in %.1f s\n", arch().c_str(),
                text.size(), seconds);
}

} // namespace
} // namespace kx
