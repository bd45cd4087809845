// Long runs under Wine: ten thousand opens and closes on each slot, and ten thousand opens that
// fail, must leave the host process with exactly the descriptors and handles it had.
#include "resources.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace kx {
namespace {

const int CYCLES = 10000;

struct SlotLine {
    explicit SlotLine(const char *s) : suffix(s) {}
    const char *suffix;
    Pty pty;
    ComPort port{pty};
    std::string open() const { return open_call(suffix, port); }
    std::string close() const { return std::string("CLOSECOM") + suffix; }
};

TEST(Soak, OpenCloseCyclesOnBothSlotsLeaveNoDescriptorOrHandle) {
    SlotLine one(""), two("2");
    SlotLine *slots[] = {&one, &two};
    Host host;
    pid_t pid = host_process(host);
    // One cycle first: what Wine sets up once for the first serial port is not a leak.
    for (SlotLine *s : slots) {
        ASSERT_EQ(host.integer(s->open()), 1);
        ASSERT_EQ(host.result(s->close()), "(void)");
    }
    const Usage before = usage(host, pid);

    // The count is real: each open port is one more handle.
    for (SlotLine *s : slots)
        ASSERT_EQ(host.integer(s->open()), 1);
    EXPECT_EQ(usage(host, pid).handles, before.handles + 2);
    for (SlotLine *s : slots)
        ASSERT_EQ(host.result(s->close()), "(void)");

    double t0 = now_ms();
    for (int i = 0; i < CYCLES; ++i)
        for (SlotLine *s : slots) {
            ASSERT_EQ(host.result(s->open()), "1") << "cycle " << i << " slot " << s->suffix;
            ASSERT_EQ(host.result(s->close()), "(void)") << "cycle " << i << " slot " << s->suffix;
        }
    double seconds = (now_ms() - t0) / 1000;
    const Usage after = usage(host, pid);
    EXPECT_EQ(after, before);

    // Both ports still carry bytes after it all.
    for (SlotLine *s : slots) {
        ASSERT_EQ(host.integer(s->open()), 1);
        host.send(std::string("SENDSTRING") + s->suffix + " \"still here\"");
        EXPECT_EQ(s->pty.read_exact(10), "still here");
    }
    std::printf("[ figures  ] soak %s: %d open/close cycles on each slot in %.1f s; before %d fds "
                "%d handles, after %d fds %d handles\n",
                arch().c_str(), CYCLES, seconds, before.fds, before.handles, after.fds,
                after.handles);
}

TEST(Soak, FailedOpensLeaveNoDescriptorOrHandle) {
    SlotLine one(""), two("2");
    SlotLine *slots[] = {&one, &two};
    Host host;
    pid_t pid = host_process(host);
    ASSERT_EQ(host.integer("OPENCOM \"COM99:9600,N,8,1\""), 0);
    const Usage before = usage(host, pid);

    // Half on each slot.
    double t0 = now_ms();
    for (int i = 0; i < CYCLES; ++i) {
        const char *suffix = i % 2 ? "2" : "";
        ASSERT_EQ(host.result(std::string("OPENCOM") + suffix + " \"COM99:9600,N,8,1\""), "0")
            << "failed open " << i;
    }
    double seconds = (now_ms() - t0) / 1000;
    const Usage after = usage(host, pid);
    EXPECT_EQ(after, before);

    // A slot whose open failed opens a real port next time.
    for (SlotLine *s : slots) {
        ASSERT_EQ(host.integer(s->open()), 1);
        host.send(std::string("SENDBYTE") + s->suffix + " 0x55");
        EXPECT_EQ(s->pty.read_exact(1), "U");
        ASSERT_EQ(host.result(s->close()), "(void)");
    }
    EXPECT_EQ(usage(host, pid), before);
    std::printf("[ figures  ] soak %s: %d failed opens in %.1f s; before %d fds %d handles, after "
                "%d fds %d handles\n",
                arch().c_str(), CYCLES, seconds, before.fds, before.handles, after.fds,
                after.handles);
}

} // namespace
} // namespace kx
