// Opening and closing ports through the real DLL: what reaches the line settings, which device
// a mode text names, and how a slot behaves after an open that failed.
#include "harness.h"

#include <gtest/gtest.h>

#include <sys/ioctl.h>
#include <termios.h>

#include <chrono>
#include <thread>

namespace kx {
namespace {

std::string open_call(const char *slot, const std::string &mode) {
    return std::string("OPENCOM") + slot + " " + quote(mode);
}

// Holders of a device other than this test; Wine's server may close it a moment after the call.
bool released(const Pty &pty, int timeout_ms = 3000) {
    double deadline = now_ms() + timeout_ms;
    while (!holders_of(pty.slave_path()).empty()) {
        if (now_ms() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

TEST(Open, LineSettingsFollowTheModeTextWithoutFlowControl) {
    // The pty keeps only the speed and the stop bits (it forces 8 data bits and no parity).
    // Modes that ask for handshakes must still leave every kind of flow control off.
    const struct {
        const char *settings;
        speed_t speed;
        bool two_stop_bits;
    } cases[] = {
        {":9600,N,8,1", B9600, false},
        {":19200,E,7,2", B19200, true},
        {":115200,N,8,1", B115200, false},
        {":2400,O,8,2", B2400, true},
        {": baud=4800 parity=N data=8 stop=2", B4800, true},
        {":38400,N,8,1,x", B38400, false},
        {":57600,N,8,1,p", B57600, false},
        {": baud=1200 parity=N data=8 stop=1 xon=on octs=on odsr=on idsr=on rts=on dtr=on", B1200,
         false},
    };
    for (const char *slot : SLOTS) {
        for (const auto &c : cases) {
            SCOPED_TRACE(std::string("OPENCOM") + slot + " COMn" + c.settings);
            Pty pty;
            ComPort port(pty);
            Host host;
            ASSERT_EQ(host.integer(open_call(slot, port.name() + c.settings)), 1);
            termios t = pty.settings();
            EXPECT_EQ(cfgetospeed(&t), c.speed);
            EXPECT_EQ(cfgetispeed(&t), c.speed);
            EXPECT_EQ((t.c_cflag & CSTOPB) != 0, c.two_stop_bits);
            EXPECT_EQ(t.c_cflag & CRTSCTS, 0u);
            EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY), 0u);
        }
    }
}

TEST(Open, ModeTextNamesTheDeviceInAnyCase) {
    const struct {
        int first, last; // COM numbers to claim
        const char *spelling;
    } cases[] = {
        {12, 12, "COM"}, {12, 99, "com"}, {10, 99, "Com"}, {5, 9, "cOm"}, {5, 9, "COM"},
    };
    for (const auto &c : cases) {
        Pty pty;
        ComPort port(pty, c.first, c.last);
        SCOPED_TRACE(std::string(c.spelling) + std::to_string(port.number()));
        Host host;
        ASSERT_EQ(
            host.integer(open_call("", c.spelling + std::to_string(port.number()) + ":9600,N,8,1")),
            1);
        ASSERT_EQ(host.integer("SENDBYTE 0x5a"), 1);
        EXPECT_EQ(pty.read_exact(1, 5000), "Z");
        termios t = pty.settings();
        EXPECT_EQ(cfgetospeed(&t), (speed_t)B9600);
    }
}

// What every call gives on a slot without a device.
const struct {
    const char *call;
    const char *result;
} failed_slot[] = {
    {"READBYTE", "-1"},
    {"SENDBYTE 0x41", "0"},
    {"READSTRING", "\"\""},
    {"INBUFFER", "0"},
    {"OUTBUFFER", "0"},
    {"CLEARBUFFER", "0"},
    {"TIMEOUTS 100", "0"},
    {"BUFFERSIZE 4096", "0"},
    {"DTR 1", "0"},
    {"RTS 1", "0"},
    {"TXD 1", "0"},
    {"DTR 0", "0"},
    {"CTS", "0"},
    {"DSR", "0"},
    {"RI", "0"},
    {"DCD", "0"},
    {"INPUTS", "0"},
    {"SENDSTRING \"AT\\r\"", "(void)"},
    {"SENDSTRING null", "(void)"},
    {"CLOSECOM", "(void)"},
    {"READBYTE", "-1"},
};

void expect_failed_slot(Host &host, const char *slot) {
    for (const auto &f : failed_slot) {
        std::string call = f.call;
        size_t space = call.find(' ');
        call.insert(space == std::string::npos ? call.size() : space, slot);
        EXPECT_EQ(host.result(call), f.result) << call;
    }
}

TEST(Open, SlotNeverOpenedFailsCleanly) {
    for (const char *slot : SLOTS) {
        SCOPED_TRACE(std::string("slot ") + (*slot ? slot : "1"));
        Host host;
        expect_failed_slot(host, slot);
    }
}

TEST(Open, OpenWithoutAUsableDeviceFailsAndLeavesTheSlotFailing) {
    const char *const modes[] = {"\"\"",
                                 "null",
                                 "\"COM\"",
                                 "\"CO\"",
                                 "\":9600,N,8,1\"",
                                 "\"COM98:9600,N,8,1\"",
                                 "\"\\x00COM5:9600\""};
    for (const char *slot : SLOTS) {
        for (const char *mode : modes) {
            SCOPED_TRACE(std::string("OPENCOM") + slot + " " + mode);
            // The slot held a working port before, so a failed open must also drop that one.
            Pty pty;
            ComPort port(pty);
            Host host;
            ASSERT_EQ(host.integer(open_call(slot, port.name() + ":9600,N,8,1")), 1);
            ASSERT_FALSE(holders_of(pty.slave_path()).empty());
            EXPECT_EQ(host.integer(std::string("OPENCOM") + slot + " " + mode), 0);
            expect_failed_slot(host, slot);
            EXPECT_EQ(pty.read_quiet(50), "") << "the failed slot still wrote to the old port";
            EXPECT_TRUE(released(pty)) << "the old port is still open";
        }
    }
}

TEST(Open, ReopenAndCloseReleaseThePreviousDevice) {
    for (const char *slot : SLOTS) {
        SCOPED_TRACE(std::string("slot ") + (*slot ? slot : "1"));
        Pty first, second;
        ComPort a(first), b(second);
        Host host;
        ASSERT_EQ(host.integer(open_call(slot, a.name() + ":9600,N,8,1")), 1);
        ASSERT_FALSE(holders_of(first.slave_path()).empty());
        ASSERT_EQ(host.integer(open_call(slot, b.name() + ":9600,N,8,1")), 1);
        EXPECT_TRUE(released(first));
        EXPECT_EQ(host.integer(std::string("SENDBYTE") + slot + " 0x42"), 1);
        EXPECT_EQ(second.read_exact(1, 5000), "B");
        EXPECT_EQ(first.read_quiet(50), "");
        EXPECT_EQ(host.result(std::string("CLOSECOM") + slot), "(void)");
        EXPECT_TRUE(released(second));
        EXPECT_EQ(host.integer(std::string("SENDBYTE") + slot + " 0x43"), 0);
        // A closed slot opens again.
        ASSERT_EQ(host.integer(open_call(slot, a.name() + ":9600,N,8,1")), 1);
        EXPECT_EQ(host.integer(std::string("SENDBYTE") + slot + " 0x44"), 1);
        EXPECT_EQ(first.read_exact(1, 5000), "D");
    }
}

TEST(Open, BufferSizeOnAnOpenPort) {
    Pty pty;
    ComPort port(pty);
    Host host;
    ASSERT_EQ(host.integer(open_call("", port.name() + ":9600,N,8,1")), 1);
    for (const char *size : {"4096", "1024", "65536"}) {
        SCOPED_TRACE(size);
        EXPECT_NE(host.integer(std::string("BUFFERSIZE ") + size), 0);
        EXPECT_EQ(host.integer("SENDBYTE 0x31"), 1);
        EXPECT_EQ(pty.read_exact(1, 5000), "1");
    }
}

} // namespace
} // namespace kx
