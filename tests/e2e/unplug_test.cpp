// Ports that go away under a running host: the peer hangs up in the middle of a READSTRING, or the
// device disappears while a slot holds it. Calls must come back within their time-outs and report
// failure, closing must release what Wine held, and the slot must work again on a new line.
#include "background.h"
#include "resources.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <string>

namespace kx {
namespace {

const int TIMEOUT_MS = 1000;
// What a loaded two-core machine may add to a time-out before the call is back in the test.
const double SLACK_MS = 2000;

std::string slot_name(const char *suffix) { return *suffix ? "slot 2" : "slot 1"; }

// A fresh line works on the slot: bytes both ways.
void expect_slot_works(Host &host, const std::string &s) {
    Pty pty;
    ComPort port(pty);
    ASSERT_EQ(host.integer(open_call(s, port)), 1);
    ASSERT_EQ(host.integer("TIMEOUTS" + s + " 100"), 1);
    host.send("SENDSTRING" + s + " \"fresh\"");
    EXPECT_EQ(pty.read_exact(5), "fresh");
    pty.write("back\r");
    EXPECT_EQ(host.text("READSTRING" + s), "back");
    EXPECT_EQ(host.result("CLOSECOM" + s), "(void)");
}

TEST(Unplug, PeerHangsUpDuringReadString) {
    for (const char *suffix : SLOTS) {
        SCOPED_TRACE(slot_name(suffix));
        const std::string s = suffix;
        Host host;
        pid_t pid = host_process(host);
        Usage before{0, 0};
        {
            Pty pty;
            ComPort port(pty);
            ASSERT_EQ(host.integer(open_call(s, port)), 1);
            ASSERT_EQ(host.result("CLOSECOM" + s), "(void)");
            before = usage(host, pid);
            ASSERT_EQ(host.integer(open_call(s, port)), 1);
            ASSERT_EQ(host.integer("TIMEOUTS" + s + " " + std::to_string(TIMEOUT_MS)), 1);

            // The peer sends half a line, then hangs up while the host still reads.
            double hung_up_at = 0;
            Background peer([&] {
                usleep(300000);
                pty.write("partial");
                usleep(200000);
                hung_up_at = now_ms();
                pty.close_master();
            });
            std::vector<std::string> lines = host.send("READSTRING" + s, 1, 30000);
            double returned_at = now_ms();
            peer.join();
            EXPECT_EQ(lines.back(), "READSTRING" + s + " -> \"partial\"");
            EXPECT_LT(returned_at - hung_up_at, TIMEOUT_MS + 1 + SLACK_MS)
                << "READSTRING outlived its time-out after the hang-up";

            // Later calls on the slot fail, each within its time-out.
            const struct {
                const char *name, *argument, *result;
            } later[] = {{"READBYTE", "", "-1"},     {"READSTRING", "", "\"\""},
                         {"SENDBYTE", " 0x41", "0"}, {"SENDSTRING", " \"x\"", "(void)"},
                         {"INBUFFER", "", "0"},      {"OUTBUFFER", "", "0"},
                         {"CTS", "", "0"},           {"INPUTS", "", "0"}};
            for (const auto &c : later) {
                std::string call = c.name + s + c.argument;
                SCOPED_TRACE(call);
                double t0 = now_ms();
                EXPECT_EQ(host.result(call), c.result);
                EXPECT_LT(now_ms() - t0, TIMEOUT_MS + 1 + SLACK_MS);
            }
            EXPECT_EQ(host.result("CLOSECOM" + s), "(void)");
        }
        expect_slot_works(host, s);
        EXPECT_EQ(usage(host, pid), before) << "after the hang-up and a new line";
    }
}

// How the device goes away while the slot holds it.
struct Vanishing {
    const char *name;
    bool hang_up; // the peer closes the line as well
    bool reopen;  // OPENCOM on the same name before CLOSECOM
};

const Vanishing VANISHINGS[] = {
    {"link removed, reopened", false, true},
    {"link removed, closed", false, false},
    {"link removed and line hung up, reopened", true, true},
    {"link removed and line hung up, closed", true, false},
};

TEST(Unplug, DeviceThatVanishedWhileOpenFailsCleanlyAndIsReleased) {
    for (const char *suffix : SLOTS) {
        const std::string s = suffix;
        Host host;
        pid_t pid = host_process(host);
        ASSERT_EQ(host.integer("OPENCOM" + s + " \"COM99:9600,N,8,1\""), 0);
        ASSERT_EQ(host.result("CLOSECOM" + s), "(void)");
        const Usage before = usage(host, pid);
        for (const Vanishing &v : VANISHINGS) {
            SCOPED_TRACE(slot_name(suffix) + ", " + v.name);
            Pty pty;
            std::string mode;
            {
                ComPort port(pty);
                mode = "\"" + port.name() + ":9600,N,8,1\"";
                ASSERT_EQ(host.integer("OPENCOM" + s + " " + mode), 1);
                pty.close_slave(); // from here on only Wine holds the line open
            }                      // the port's link in dosdevices is gone
            if (v.hang_up) pty.close_master();
            if (v.reopen) {
                EXPECT_EQ(host.integer("OPENCOM" + s + " " + mode), 0);
                if (!v.hang_up) {
                    EXPECT_TRUE(pty.hung_up(3000)) << "the old line is still open";
                }
            }
            // A handle still open reaches the line without its name; a failed reopen or a hung-up
            // line does not.
            bool reachable = !v.reopen && !v.hang_up;
            EXPECT_EQ(host.integer("SENDBYTE" + s + " 0x41"), reachable ? 1 : 0);
            if (reachable) {
                EXPECT_EQ(pty.read_exact(1), "A");
            }
            EXPECT_EQ(host.integer("READBYTE" + s), -1);
            EXPECT_EQ(host.result("CLOSECOM" + s), "(void)");
            if (!v.hang_up) {
                EXPECT_TRUE(pty.hung_up(3000)) << "CLOSECOM left the line open";
            }
            EXPECT_EQ(usage(host, pid), before);
        }
        expect_slot_works(host, s);
        EXPECT_EQ(usage(host, pid), before);
    }
}

} // namespace
} // namespace kx
