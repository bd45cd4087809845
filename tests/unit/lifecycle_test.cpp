#include "fixture.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

class Lifecycle : public Library {};

TEST_F(Lifecycle, AttachMakesNoPlatformCall) {
    sim::reset();
    EXPECT_EQ(DllMain(0, DLL_PROCESS_ATTACH, 0), TRUE);
    EXPECT_THAT(sim::state().calls, IsEmpty());
}

TEST_F(Lifecycle, ThreadNotificationsChangeNothing) {
    sim::Device &d = open1();
    EXPECT_EQ(DllMain(0, DLL_THREAD_ATTACH, 0), TRUE);
    EXPECT_EQ(DllMain(0, DLL_THREAD_DETACH, 0), TRUE);
    EXPECT_THAT(sim::state().calls, IsEmpty());
    EXPECT_NE(d.holder, nullptr);
}

// Slot 2 is closed too, so no device stays claimed after the library is gone.
TEST_F(Lifecycle, DetachReleasesBothSlots) {
    sim::Device &one = open1();
    sim::Device &two = open2();
    DllMain(0, DLL_PROCESS_DETACH, 0);
    EXPECT_THAT(sim::state().calls, ElementsAre("CloseHandle(h1)", "CloseHandle(h2)"));
    EXPECT_EQ(one.holder, nullptr);
    EXPECT_EQ(two.holder, nullptr);
}

TEST_F(Lifecycle, DetachMakesNoCallForEmptyOrFailedSlots) {
    EXPECT_EQ(OPENCOM("COM6:9600,N,8,1"), 0);
    sim::state().calls.clear();
    DllMain(0, DLL_PROCESS_DETACH, 0);
    EXPECT_THAT(sim::state().calls, IsEmpty());
    EXPECT_EQ(sim::state().bad_closes, 0);
}

TEST_F(Lifecycle, DetachLeavesThePriorityClassAndStopwatchAlone) {
    ASSERT_NE(REALTIME(), 0);
    sim::state().frequency = 1000;
    ASSERT_NE(TIMEINIT(), 0);
    sim::state().calls.clear();
    DllMain(0, DLL_PROCESS_DETACH, 0);
    EXPECT_THAT(sim::state().calls, IsEmpty());
    EXPECT_EQ(sim::state().priority_class, DWORD(REALTIME_PRIORITY_CLASS));
    sim::advance_ms(500);
    EXPECT_NEAR(TIMEREAD(), 500.0, 1.0) << "still calibrated to the 1 kHz counter";
}

TEST_F(Lifecycle, AReloadStartsWithEmptySlotsAndTheInitialStopwatch) {
    sim::Device &d = open1();
    sim::state().frequency = 1000;
    ASSERT_NE(TIMEINIT(), 0);
    DllMain(0, DLL_PROCESS_DETACH, 0);
    DllMain(0, DLL_PROCESS_ATTACH, 0);
    sim::state().calls.clear();
    d.feed("x");
    EXPECT_EQ(READBYTE(), -1);
    EXPECT_EQ(READBYTE2(), -1);
    EXPECT_THAT(sim::state().calls, ElementsAre("ReadFile(0,1)", "ReadFile(0,1)"));
    sim::state().qpc_cost_ns = 0;
    sim::state().counter_base = 1000000 - sim::counter_now();
    EXPECT_DOUBLE_EQ(TIMEREAD(), 1000000 * 0.000838);
}

TEST_F(Lifecycle, DetachFreesTheLinesAndAReloadStillReadsLines) {
    sim::Device &one = open1();
    sim::Device &two = open2();
    one.feed(std::string(1000, 'a') + "\r");
    two.feed("short\r");
    EXPECT_EQ(std::string(READSTRING()).size(), 1000u);
    EXPECT_STREQ(READSTRING2(), "short");
    DllMain(0, DLL_PROCESS_DETACH, 0);
    DllMain(0, DLL_PROCESS_ATTACH, 0);
    EXPECT_STREQ(READSTRING(), "");
    open1().feed("again\r");
    EXPECT_STREQ(READSTRING(), "again");
}

} // namespace
