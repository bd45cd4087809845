// The stopwatch, DELAY and the priority class through the real DLL. Times are compared with the
// host's own performance counter or with this process's monotonic clock (the one Wine's counter
// runs on), so only the delays themselves need tolerances.
#include "harness.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace kx {
namespace {

const double uncalibrated_ms_per_tick = 0.000838;

long long qpc(Host &host) { return std::stoll(host.result("!qpc")); }

TEST(Timing, BeforeTimeInitTheStopwatchCountsRawTicks) {
    Host host;
    double previous = -1;
    for (int i = 0; i < 3; ++i) {
        long long before = qpc(host);
        double t = host.number("TIMEREAD");
        long long after = qpc(host);
        EXPECT_GE(t, before * uncalibrated_ms_per_tick - 1e-3);
        EXPECT_LE(t, after * uncalibrated_ms_per_tick + 1e-3);
        EXPECT_GT(t, previous);
        previous = t;
    }
}

TEST(Timing, AfterTimeInitTheStopwatchTracksTheClock) {
    Host host;
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE("TIMEINIT number " + std::to_string(round + 1));
        double init_sent = now_ms();
        ASSERT_EQ(host.integer("TIMEINIT"), 1);
        double init_done = now_ms();
        for (int wait : {0, 150, 300}) {
            std::this_thread::sleep_for(std::chrono::milliseconds(wait));
            double read_sent = now_ms();
            double t = host.number("TIMEREAD");
            double read_done = now_ms();
            EXPECT_GE(t, read_sent - init_done - 1.0);
            EXPECT_LE(t, read_done - init_sent + 1.0);
        }
    }
}

TEST(Timing, DelayWaitsAtLeastTheStopwatchTime) {
    Host host;
    // Before calibration a stopwatch millisecond is 0.000838 ms per counter tick, so DELAY is
    // shorter than asked by the ratio of that to the true tick length.
    double tick_ms = 1000.0 / std::stod(host.result("!qpf"));
    std::string result;
    double raw = host.timed("DELAY 250", &result);
    EXPECT_EQ(result, "(void)");
    EXPECT_GE(raw, 250 / uncalibrated_ms_per_tick * tick_ms - 0.01);
    EXPECT_LT(raw, 200);

    ASSERT_EQ(host.integer("TIMEINIT"), 1);
    for (const char *ms : {"25", "1", "50.5", "0.25"}) {
        SCOPED_TRACE(std::string("DELAY ") + ms);
        double took = host.timed(std::string("DELAY ") + ms, &result);
        EXPECT_EQ(result, "(void)");
        EXPECT_GE(took, std::stod(ms) - 0.01);
        EXPECT_LE(took, std::stod(ms) + 500);
    }
}

TEST(Timing, DelayReturnsAtOnceForNothingToWait) {
    const char *const values[] = {"0",   "-0",   "-1",  "-0.001", "-1e300",
                                  "nan", "-nan", "inf", "-inf"};
    Host host;
    for (bool calibrated : {false, true}) {
        if (calibrated) {
            ASSERT_EQ(host.integer("TIMEINIT"), 1);
        }
        for (const char *v : values) {
            SCOPED_TRACE(std::string(calibrated ? "after" : "before") + " TIMEINIT: DELAY " + v);
            // A delay that never ends makes the host miss this time limit and fails the test.
            std::string result;
            double took = host.timed(std::string("DELAY ") + v, &result, 5000);
            EXPECT_EQ(result, "(void)");
            EXPECT_LT(took, 50);
        }
    }
}

TEST(Timing, PriorityClassFollowsRealtimeAndNormaltime) {
    const struct {
        const char *start;
        const char *call;
        const char *expected;
    } cases[] = {
        {"0x20", "REALTIME", "0x100"},  {"0x100", "NORMALTIME", "0x20"},
        {"0x80", "REALTIME", "0x100"},  {"0x80", "NORMALTIME", "0x20"},
        {"0x40", "NORMALTIME", "0x20"}, {"0x100", "REALTIME", "0x100"},
        {"0x20", "NORMALTIME", "0x20"}, {"0x4000", "REALTIME", "0x100"},
    };
    Host host;
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.call) + " from " + c.start);
        ASSERT_EQ(host.integer(std::string("!setpriority ") + c.start), 1);
        ASSERT_EQ(host.result("!priority"), c.start);
        EXPECT_NE(host.integer(c.call), 0);
        EXPECT_EQ(host.result("!priority"), c.expected);
    }
}

} // namespace
} // namespace kx
