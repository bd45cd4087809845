// Read time-outs through the real DLL, timed inside the host around the call alone. Bounds are
// wide enough for a loaded machine yet keep 1, 11, 51 and 201 ms apart.
#include "harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

namespace kx {
namespace {

// Shortest time of several reads that get nothing, checking the result each gave. A time-out
// never ends early and load only makes a read later, so the shortest is the one to bound.
double idle_read_ms(Host &host, const std::string &call, const std::string &nothing) {
    double shortest = 1e9;
    for (int i = 0; i < 5; ++i) {
        std::string result;
        shortest = std::min(shortest, host.timed(call, &result));
        EXPECT_EQ(result, nothing) << call;
    }
    return shortest;
}

const struct {
    const char *setting; // TIMEOUTS argument, or nullptr for the value set by the open
    double low, high;    // bounds in ms for a one-byte read that gets nothing
} timeouts[] = {
    {nullptr, 9.5, 60}, {"200", 195, 450}, {"0", 0, 8}, {"50", 48, 150}, {"10", 9.5, 60},
};

TEST(Timeouts, IdleReadsGiveUpAfterTheSetTime) {
    for (const char *slot : SLOTS) {
        Pty pty;
        ComPort port(pty);
        Host host;
        ASSERT_EQ(host.integer(open_call(slot, port)), 1);
        for (const auto &t : timeouts) {
            std::string s = slot;
            SCOPED_TRACE("slot " + (s.empty() ? std::string("1") : s) + ", TIMEOUTS " +
                         (t.setting ? t.setting : "as opened"));
            if (t.setting) {
                ASSERT_EQ(host.integer("TIMEOUTS" + s + " " + t.setting), 1);
            }
            double byte_ms = idle_read_ms(host, "READBYTE" + s, "-1");
            EXPECT_GE(byte_ms, t.low);
            EXPECT_LE(byte_ms, t.high);
            // A line read that gets nothing ends after one such wait.
            double line_ms = idle_read_ms(host, "READSTRING" + s, "\"\"");
            EXPECT_GE(line_ms, t.low);
            EXPECT_LE(line_ms, t.high);
        }
    }
}

TEST(Timeouts, ReopenRestoresTheDefault) {
    Pty pty;
    ComPort port(pty);
    Host host;
    const std::string open = open_call("", port);
    ASSERT_EQ(host.integer(open), 1);
    ASSERT_EQ(host.integer("TIMEOUTS 200"), 1);
    ASSERT_GE(idle_read_ms(host, "READBYTE", "-1"), 195);
    ASSERT_EQ(host.integer(open), 1);
    double ms = idle_read_ms(host, "READBYTE", "-1");
    EXPECT_GE(ms, 9.5);
    EXPECT_LE(ms, 60);
}

TEST(Timeouts, EachSlotKeepsItsOwn) {
    Pty one, two;
    ComPort a(one), b(two);
    Host host;
    ASSERT_EQ(host.integer(open_call("", a)), 1);
    ASSERT_EQ(host.integer("TIMEOUTS 200"), 1);
    // Opening slot 2 sets slot 2's time-outs, not slot 1's.
    ASSERT_EQ(host.integer(open_call("2", b)), 1);
    double first = idle_read_ms(host, "READBYTE", "-1");
    double second = idle_read_ms(host, "READBYTE2", "-1");
    EXPECT_GE(first, 195);
    EXPECT_LE(first, 450);
    EXPECT_GE(second, 9.5);
    EXPECT_LE(second, 60);
    ASSERT_EQ(host.integer("TIMEOUTS2 0"), 1);
    EXPECT_GE(idle_read_ms(host, "READBYTE", "-1"), 195);
    EXPECT_LE(idle_read_ms(host, "READBYTE2", "-1"), 8);
}

TEST(Timeouts, ByteThatComesWithinTheWaitIsRead) {
    Pty pty;
    ComPort port(pty);
    Host host;
    ASSERT_EQ(host.integer(open_call("", port)), 1);
    ASSERT_EQ(host.integer("TIMEOUTS 1000"), 1);
    // The byte is sent while the read already waits.
    std::thread late([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        pty.write("L");
    });
    std::string result;
    double ms = host.timed("READBYTE", &result);
    late.join();
    EXPECT_EQ(result, "76");
    EXPECT_GE(ms, 50);
    EXPECT_LT(ms, 1000);
}

} // namespace
} // namespace kx
