// Unloading and reloading the real DLL in a running host.
#include "harness.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace kx {
namespace {

TEST(Detach, FreeLibraryReleasesBothPorts) {
    Pty one, two;
    ComPort a(one), b(two);
    Host host;
    ASSERT_EQ(host.integer(open_call("", a)), 1);
    ASSERT_EQ(host.integer(open_call("2", b)), 1);
    // From here on only Wine holds the slaves, so each master hangs up once Wine lets go.
    one.close_slave();
    two.close_slave();
    ASSERT_FALSE(one.hung_up(100));
    ASSERT_FALSE(two.hung_up(100));
    ASSERT_EQ(host.integer("!unload"), 1);
    EXPECT_TRUE(one.hung_up(3000)) << "slot 1's port is still open";
    EXPECT_TRUE(two.hung_up(3000)) << "slot 2's port is still open";
    EXPECT_TRUE(holders_of(one.slave_path()).empty());
    EXPECT_TRUE(holders_of(two.slave_path()).empty());
}

TEST(Detach, ReloadStartsEmpty) {
    Pty pty;
    ComPort port(pty);
    Host host;
    ASSERT_EQ(host.integer(open_call("", port)), 1);
    ASSERT_EQ(host.integer("TIMEINIT"), 1);
    ASSERT_EQ(host.integer("!unload"), 1);
    ASSERT_EQ(host.result("!load").rfind("0x", 0), 0u);
    for (const char *slot : SLOTS) {
        SCOPED_TRACE(std::string("slot ") + (*slot ? slot : "1"));
        EXPECT_EQ(host.integer(std::string("SENDBYTE") + slot + " 0x41"), 0);
        EXPECT_EQ(host.integer(std::string("READBYTE") + slot), -1);
        EXPECT_EQ(host.integer(std::string("INBUFFER") + slot), 0);
    }
    EXPECT_EQ(pty.read_quiet(50), "");
    // The stopwatch is back to raw counter ticks.
    long long before = std::stoll(host.result("!qpc"));
    EXPECT_GE(host.number("TIMEREAD"), before * 0.000838 - 1e-3);
    // And the reloaded library opens ports as before.
    ASSERT_EQ(host.integer(open_call("", port)), 1);
    EXPECT_EQ(host.integer("SENDBYTE 0x42"), 1);
    EXPECT_EQ(pty.read_exact(1), "B");
}

TEST(Detach, LoadingAndUnloadingLeaveThePriorityClassAlone) {
    Host host;
    for (const char *cls : {"0x80", "0x40", "0x4000", "0x8000", "0x100", "0x20"}) {
        SCOPED_TRACE(cls);
        ASSERT_EQ(host.integer(std::string("!setpriority ") + cls), 1);
        ASSERT_EQ(host.integer("!unload"), 1);
        EXPECT_EQ(host.result("!priority"), cls);
        ASSERT_EQ(host.result("!load").rfind("0x", 0), 0u);
        EXPECT_EQ(host.result("!priority"), cls);
    }
}

} // namespace
} // namespace kx
