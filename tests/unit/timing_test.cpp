#include "fixture.h"

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace {

const double INITIAL_TICK_MS = 0.000838;
const std::int64_t MAX = std::numeric_limits<std::int64_t>::max();
const std::int64_t MIN = std::numeric_limits<std::int64_t>::min();

double qpc_cost_ms() { return static_cast<double>(sim::state().qpc_cost_ns) / 1e6; }

using Timing = Library;

TEST_F(Timing, TimeInitReadsFrequencyThenCounterAndReturnsTheCounterFlag) {
    struct Case {
        const char *name;
        void (*fault)();
        int result;
    } cases[] = {
        {"all succeed", [] {}, TRUE},
        {"counter fails", [] { sim::fail_next("QueryPerformanceCounter"); }, 0},
        {"frequency fails", [] { sim::fail_next("QueryPerformanceFrequency"); }, TRUE},
        {"no frequency", [] { sim::state().frequency = 0; }, TRUE},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        sim::state().calls.clear();
        c.fault();
        EXPECT_EQ(TIMEINIT(), c.result);
        EXPECT_EQ(sim::state().calls, (std::vector<std::string>{"QueryPerformanceFrequency()",
                                                                "QueryPerformanceCounter()"}));
    }
}

TEST_F(Timing, TimeInitCalibratesToTheCounterFrequency) {
    for (std::int64_t frequency : {1000LL, 1193182LL, 3579545LL, 10000000LL, 3000000000LL}) {
        SCOPED_TRACE(frequency);
        sim::state().frequency = frequency;
        ASSERT_EQ(TIMEINIT(), TRUE);
        double started = sim::now_ms();
        sim::advance_ms(40);
        double read = TIMEREAD();
        EXPECT_NEAR(read, sim::now_ms() - started, 1000.0 / static_cast<double>(frequency));
    }
}

TEST_F(Timing, TimeInitRestartsTheStopwatch) {
    ASSERT_EQ(TIMEINIT(), TRUE);
    sim::advance_ms(500);
    ASSERT_GT(TIMEREAD(), 500);
    ASSERT_EQ(TIMEINIT(), TRUE);
    double started = sim::now_ms();
    sim::advance_ms(3);
    double read = TIMEREAD();
    EXPECT_NEAR(read, sim::now_ms() - started, 1e-4);
}

// The counter stands still, so a jump of the counter alone shows the factor in use.
struct BadFrequency {
    const char *name;
    std::int64_t earlier_frequency; // calibrated with this first; 0: no TIMEINIT before
    std::int64_t frequency;
    bool frequency_fails;
};

void PrintTo(const BadFrequency &c, std::ostream *os) { *os << c.name; }

class TimingBadFrequency : public Library, public ::testing::WithParamInterface<BadFrequency> {};

TEST_P(TimingBadFrequency, KeepsThePreviousTickFactor) {
    const BadFrequency &c = GetParam();
    sim::state().qpc_cost_ns = 0;
    double factor = INITIAL_TICK_MS;
    if (c.earlier_frequency != 0) {
        sim::state().frequency = c.earlier_frequency;
        ASSERT_EQ(TIMEINIT(), TRUE);
        factor = 1000.0 / static_cast<double>(c.earlier_frequency);
    }
    sim::state().frequency = c.frequency;
    if (c.frequency_fails) sim::fail_next("QueryPerformanceFrequency");
    EXPECT_EQ(TIMEINIT(), TRUE);
    sim::state().counter_base += 1000000;
    EXPECT_DOUBLE_EQ(TIMEREAD(), 1000000 * factor);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TimingBadFrequency,
    ::testing::Values(BadFrequency{"zero", 0, 0, false}, BadFrequency{"negative", 0, -1, false},
                      BadFrequency{"most_negative", 0, MIN, false},
                      BadFrequency{"query_fails", 0, 10000000, true},
                      BadFrequency{"zero_after_calibration", 1000, 0, false},
                      BadFrequency{"negative_after_calibration", 1000, -10000000, false},
                      BadFrequency{"query_fails_after_calibration", 1000, 10000000, true}),
    [](const ::testing::TestParamInfo<BadFrequency> &info) { return info.param.name; });

TEST_F(Timing, TimeReadBeforeTimeInitCountsFromZeroInTheInitialFactor) {
    for (std::int64_t base : {0LL, 12345LL, 1000000000LL, 1000000000000000LL, -5000LL}) {
        SCOPED_TRACE(base);
        sim::state().counter_base = base;
        double read = TIMEREAD();
        EXPECT_DOUBLE_EQ(read, static_cast<double>(sim::counter_now()) * INITIAL_TICK_MS);
    }
}

// Counter values where the stopwatch starts, including ones that wrap past the top of the range
// while it runs.
class TimingCounterBase : public Library, public ::testing::WithParamInterface<std::int64_t> {};

TEST_P(TimingCounterBase, StopwatchStartsNearZeroAndTracksTheClock) {
    sim::state().counter_base = GetParam();
    ASSERT_EQ(TIMEINIT(), TRUE);
    double started = sim::now_ms();
    double first = TIMEREAD();
    EXPECT_GE(first, 0);
    EXPECT_LE(first, 2 * qpc_cost_ms());
    double previous = first;
    for (double step : {0.0, 0.0005, 0.05, 1.0, 123.456, 0.0, 5000.0}) {
        SCOPED_TRACE(step);
        sim::advance_ms(step);
        double read = TIMEREAD();
        EXPECT_GE(read, previous);
        EXPECT_NEAR(read, sim::now_ms() - started, 1e-4);
        previous = read;
    }
}

INSTANTIATE_TEST_SUITE_P(Bases, TimingCounterBase,
                         ::testing::Values(0, 5000000000000LL, -1000, MAX - 1000, MIN,
                                           MAX - 5000000000LL));

TEST_F(Timing, TimeReadWrapsTheCounterDifference) {
    struct Case {
        std::int64_t start, now;
        double ms;
    } cases[] = {
        {0, 5, 5},     {-10, 10, 20},          {MAX - 2, MIN + 2, 5},
        {MAX, MIN, 1}, {MIN + 2, MAX - 2, -5}, {MIN, MAX, -1},
    };
    sim::state().frequency = 1000;
    sim::state().qpc_cost_ns = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.start) + " to " + std::to_string(c.now));
        sim::state().counter_base = c.start;
        ASSERT_EQ(TIMEINIT(), TRUE);
        sim::state().counter_base = c.now;
        EXPECT_DOUBLE_EQ(TIMEREAD(), c.ms);
    }
}

// One counter tick per millisecond and one millisecond per counter read: the number of reads
// shows exactly where the wait stops.
TEST_F(Timing, DelayReadsTheCounterUntilTheTimeIsReached) {
    struct Case {
        double ms;
        size_t reads;
    } cases[] = {
        {0, 2},
        {-5, 2},
        {-DBL_MAX, 2},
        {DBL_MIN, 2},
        {0.5, 2},
        {1, 2},
        {2.5, 4},
        {3, 4},
        {10, 11},
        {std::nan(""), 0},
        {std::numeric_limits<double>::infinity(), 0},
        {-std::numeric_limits<double>::infinity(), 0},
    };
    sim::state().frequency = 1000;
    sim::state().qpc_cost_ns = 1000000;
    ASSERT_EQ(TIMEINIT(), TRUE);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.ms);
        sim::state().calls.clear();
        DELAY(c.ms);
        EXPECT_EQ(sim::state().calls,
                  std::vector<std::string>(c.reads, "QueryPerformanceCounter()"));
    }
}

struct DelayCase {
    const char *name;
    bool calibrated;
    std::int64_t frequency;
    std::int64_t counter_base;
    double ms;
};

void PrintTo(const DelayCase &c, std::ostream *os) { *os << c.name; }

class TimingDelay : public Library, public ::testing::WithParamInterface<DelayCase> {};

TEST_P(TimingDelay, LastsTheRequestedStopwatchTime) {
    const DelayCase &c = GetParam();
    sim::state().frequency = c.frequency;
    sim::state().counter_base = c.counter_base;
    if (c.calibrated) {
        ASSERT_EQ(TIMEINIT(), TRUE);
    }
    const double tick_ms = 1000.0 / static_cast<double>(c.frequency);
    const double factor = c.calibrated ? tick_ms : INITIAL_TICK_MS;
    const double expected = c.ms / factor * tick_ms;
    sim::state().calls.clear();
    double before = sim::now_ms();
    DELAY(c.ms);
    double elapsed = sim::now_ms() - before;
    EXPECT_GE(elapsed, expected - tick_ms);
    EXPECT_LE(elapsed, expected + 2 * qpc_cost_ms() + tick_ms);
    EXPECT_EQ(sim::calls_of("QueryPerformanceCounter()").size(), sim::state().calls.size());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TimingDelay,
    ::testing::Values(DelayCase{"calibrated", true, 10000000, 0, 25},
                      DelayCase{"calibrated_odd_frequency", true, 3579545, 0, 25},
                      DelayCase{"calibrated_short", true, 10000000, 0, 0.0005},
                      DelayCase{"calibrated_across_wrap", true, 10000000, MAX - 100000, 25},
                      DelayCase{"uncalibrated", false, 10000000, 0, 25},
                      DelayCase{"uncalibrated_legacy_rate", false, 1193182, 0, 25},
                      DelayCase{"uncalibrated_counter_running", false, 10000000, 123456789, 25}),
    [](const ::testing::TestParamInfo<DelayCase> &info) { return info.param.name; });

TEST_F(Timing, CalibratedDelayWaitsAtLeastTheTimeOnTheClock) {
    ASSERT_EQ(TIMEINIT(), TRUE);
    double before = sim::now_ms();
    DELAY(25);
    double elapsed = sim::now_ms() - before;
    EXPECT_GE(elapsed, 25);
    EXPECT_LE(elapsed, 25 + 2 * qpc_cost_ms());
}

TEST_F(Timing, PriorityFunctionsSetTheProcessClass) {
    struct Case {
        const char *name;
        decltype(&REALTIME) fn;
        DWORD priority_class;
        const char *logged;
    } cases[] = {
        {"REALTIME", REALTIME, REALTIME_PRIORITY_CLASS, "SetPriorityClass(self,100)"},
        {"NORMALTIME", NORMALTIME, NORMAL_PRIORITY_CLASS, "SetPriorityClass(self,20)"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        sim::state().calls.clear();
        sim::state().priority_class = IDLE_PRIORITY_CLASS;
        EXPECT_EQ(c.fn(), TRUE);
        EXPECT_EQ(sim::state().priority_class, c.priority_class);
        EXPECT_EQ(sim::calls_of("SetPriorityClass"), std::vector<std::string>{c.logged});

        sim::state().priority_class = IDLE_PRIORITY_CLASS;
        sim::fail_next("SetPriorityClass");
        EXPECT_EQ(c.fn(), 0);
        EXPECT_EQ(sim::state().priority_class, static_cast<DWORD>(IDLE_PRIORITY_CLASS));
    }
}

TEST_F(Timing, NormalTimeUndoesRealTime) {
    ASSERT_EQ(REALTIME(), TRUE);
    ASSERT_EQ(NORMALTIME(), TRUE);
    EXPECT_EQ(sim::state().priority_class, static_cast<DWORD>(NORMAL_PRIORITY_CLASS));
}

TEST_F(Timing, TimingFunctionsNeverTouchThePorts) {
    open1();
    open2();
    TIMEINIT();
    TIMEREAD();
    DELAY(0.01);
    REALTIME();
    NORMALTIME();
    const std::vector<std::string> allowed = {"QueryPerformanceFrequency(",
                                              "QueryPerformanceCounter(", "GetCurrentProcess(",
                                              "SetPriorityClass("};
    for (const std::string &call : sim::state().calls) {
        bool ok = false;
        for (const std::string &prefix : allowed)
            ok = ok || call.rfind(prefix, 0) == 0;
        EXPECT_TRUE(ok) << call;
    }
}

} // namespace
