// Modem lines through the real DLL: outputs land on the (emulated) line, inputs come back, in
// both slots, with the preload library standing in for the modem-control lines a pty lacks.
#include "harness.h"

#include <gtest/gtest.h>

#include <sys/ioctl.h>

#include <memory>

namespace kx {
namespace {

// One slot opened on its own pty with emulated modem lines.
struct ModemRig {
    Pty pty;
    ComPort port{pty};
    ModemLines lines;
    int entry = lines.attach(pty);
    std::unique_ptr<Host> host;

    explicit ModemRig(const std::string &suffix) {
        HostOptions options;
        options.modem = &lines;
        host = std::make_unique<Host>(options);
        EXPECT_EQ(host->integer(open_call(suffix, port)), 1);
    }
};

TEST(ModemLines, PreloadAnswersInsideTheWineProcess) {
    ModemRig rig("");
    EXPECT_GE(rig.lines.loads32(), 1u) << "the 32-bit preload library was not loaded";
    EXPECT_GT(rig.lines.line_ioctls(rig.entry), 0u) << "the open did not touch the modem lines";
}

struct OutputLine {
    const char *function;
    bool (ModemLines::*state)(int) const;
};

const OutputLine output_lines[] = {
    {"DTR", &ModemLines::dtr}, {"RTS", &ModemLines::rts}, {"TXD", &ModemLines::breaking}};

// Any non-zero value asserts, whichever of the 32 bits is set; only 0 releases.
const struct {
    const char *argument;
    bool asserted;
} output_steps[] = {{"1", true},       {"0", false},         {"2", true},  {"0", false},
                    {"-1", true},      {"0x100", true},      {"0", false}, {"0x80000000", true},
                    {"0x10000", true}, {"0", false},         {"0", false}, {"1", true},
                    {"1", true},       {"0x00000000", false}};

TEST(ModemLines, OutputsFollowEveryRequestInBothSlots) {
    for (const char *slot : SLOTS) {
        ModemRig rig(slot);
        for (const OutputLine &line : output_lines) {
            std::string function = std::string(line.function) + slot;
            for (const auto &step : output_steps) {
                SCOPED_TRACE(function + "(" + step.argument + ")");
                EXPECT_EQ(rig.host->integer(function + " " + step.argument), 1);
                EXPECT_EQ((rig.lines.*line.state)(rig.entry), step.asserted);
            }
            EXPECT_EQ(rig.host->integer(function + " 0"), 1);
        }
    }
}

TEST(ModemLines, OutputsAreIndependent) {
    ModemRig rig("");
    EXPECT_EQ(rig.host->integer("DTR 1"), 1);
    EXPECT_TRUE(rig.lines.dtr(rig.entry));
    EXPECT_FALSE(rig.lines.rts(rig.entry));
    EXPECT_FALSE(rig.lines.breaking(rig.entry));
    EXPECT_EQ(rig.host->integer("RTS 1"), 1);
    EXPECT_EQ(rig.host->integer("TXD 1"), 1);
    EXPECT_EQ(rig.host->integer("DTR 0"), 1);
    EXPECT_FALSE(rig.lines.dtr(rig.entry));
    EXPECT_TRUE(rig.lines.rts(rig.entry));
    EXPECT_TRUE(rig.lines.breaking(rig.entry));
}

TEST(ModemLines, EachInputAndAllFourFollowThePeer) {
    const unsigned cts = TIOCM_CTS, dsr = TIOCM_DSR, ri = TIOCM_RI, dcd = TIOCM_CD;
    for (const char *slot : SLOTS) {
        ModemRig rig(slot);
        const std::string s = slot;
        // Every combination of the four inputs, in an order where each line changes alone
        // somewhere (Gray code), so a function reading a neighbour's bit is caught.
        for (unsigned i = 0; i < 16; ++i) {
            unsigned gray = i ^ (i >> 1);
            unsigned bits = (gray & 1 ? cts : 0) | (gray & 2 ? dsr : 0) | (gray & 4 ? ri : 0) |
                            (gray & 8 ? dcd : 0);
            rig.lines.set_inputs(rig.entry, bits);
            SCOPED_TRACE("slot " + std::string(*slot ? slot : "1") + ", inputs " +
                         std::to_string(gray));
            EXPECT_EQ(rig.host->integer("CTS" + s), gray & 1 ? 1 : 0);
            EXPECT_EQ(rig.host->integer("DSR" + s), gray & 2 ? 1 : 0);
            EXPECT_EQ(rig.host->integer("RI" + s), gray & 4 ? 1 : 0);
            EXPECT_EQ(rig.host->integer("DCD" + s), gray & 8 ? 1 : 0);
            EXPECT_EQ(rig.host->integer("INPUTS" + s), (int)gray);
        }
    }
}

TEST(ModemLines, OwnOutputsDoNotShowAsInputs) {
    ModemRig rig("");
    rig.lines.set_inputs(rig.entry, 0);
    EXPECT_EQ(rig.host->integer("DTR 1"), 1);
    EXPECT_EQ(rig.host->integer("RTS 1"), 1);
    EXPECT_EQ(rig.host->integer("INPUTS"), 0);
    EXPECT_EQ(rig.host->integer("CTS"), 0);
    EXPECT_EQ(rig.host->integer("DSR"), 0);
}

TEST(ModemLines, LoopBackPeerAnswersOutputs) {
    ModemRig rig("");
    rig.lines.set_loopback(rig.entry, true);
    const struct {
        int dtr, rts;
        int cts, dsr, dcd, inputs;
    } cases[] = {
        {0, 0, 0, 0, 0, 0}, {1, 0, 0, 1, 1, 2 | 8}, {1, 1, 1, 1, 1, 1 | 2 | 8},
        {0, 1, 1, 0, 0, 1}, {0, 0, 0, 0, 0, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE("DTR " + std::to_string(c.dtr) + ", RTS " + std::to_string(c.rts));
        EXPECT_EQ(rig.host->integer("DTR " + std::to_string(c.dtr)), 1);
        EXPECT_EQ(rig.host->integer("RTS " + std::to_string(c.rts)), 1);
        EXPECT_EQ(rig.host->integer("CTS"), c.cts);
        EXPECT_EQ(rig.host->integer("DSR"), c.dsr);
        EXPECT_EQ(rig.host->integer("DCD"), c.dcd);
        EXPECT_EQ(rig.host->integer("RI"), 0);
        EXPECT_EQ(rig.host->integer("INPUTS"), c.inputs);
    }
}

TEST(ModemLines, OpenReleasesDtrAndRtsAssertedBefore) {
    // Also when the mode text itself asks for them.
    const char *const settings[] = {":9600,N,8,1", ": baud=9600 parity=N data=8 dtr=on rts=on"};
    for (const char *slot : SLOTS)
        for (const char *setting : settings) {
            SCOPED_TRACE(std::string("OPENCOM") + slot + " COMn" + setting);
            Pty pty;
            ComPort port(pty);
            ModemLines lines;
            int entry = lines.attach(pty);
            lines.set_outputs(entry, TIOCM_DTR | TIOCM_RTS);
            HostOptions options;
            options.modem = &lines;
            Host host(options);
            const std::string open =
                std::string("OPENCOM") + slot + " " + quote(port.name() + setting);
            ASSERT_EQ(host.integer(open), 1);
            EXPECT_FALSE(lines.dtr(entry));
            EXPECT_FALSE(lines.rts(entry));
            // A reopen of a port the host had asserted releases them again.
            EXPECT_EQ(host.integer(std::string("DTR") + slot + " 1"), 1);
            EXPECT_EQ(host.integer(std::string("RTS") + slot + " 1"), 1);
            ASSERT_TRUE(lines.dtr(entry) && lines.rts(entry));
            ASSERT_EQ(host.integer(open), 1);
            EXPECT_FALSE(lines.dtr(entry));
            EXPECT_FALSE(lines.rts(entry));
        }
}

} // namespace
} // namespace kx

namespace kx {
namespace {

// A bare pty has no modem lines: Wine fails those requests, and the library passes the failure
// on instead of reporting success or reading an unwritten status.
TEST(ModemLines, DeviceWithoutModemLinesReportsFailure) {
    for (const char *slot : SLOTS) {
        SCOPED_TRACE(std::string("slot ") + (*slot ? slot : "1"));
        Pty pty;
        ComPort port(pty);
        Host host;
        const std::string s = slot;
        ASSERT_EQ(host.integer(open_call(s, port)), 1);
        for (const char *call : {"DTR 1", "DTR 0", "RTS 1", "RTS 0"}) {
            std::string c = call;
            c.insert(c.find(' '), s);
            EXPECT_EQ(host.integer(c), 0) << c;
        }
        for (const char *call : {"CTS", "DSR", "RI", "DCD", "INPUTS"})
            EXPECT_EQ(host.integer(call + s), 0) << call << s;
        // The port itself still works.
        EXPECT_EQ(host.integer("SENDBYTE" + s + " 0x21"), 1);
        EXPECT_EQ(pty.read_exact(1), "!");
    }
}

} // namespace
} // namespace kx
