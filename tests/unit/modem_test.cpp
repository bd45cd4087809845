#include "fixture.h"

#include <climits>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Output {
    const char *name;
    decltype(&DTR) Slot::*fn;
    bool sim::Device::*line;
    DWORD set, clear;
};

const Output OUTPUTS[] = {
    {"DTR", &Slot::dtr, &sim::Device::dtr, SETDTR, CLRDTR},
    {"RTS", &Slot::rts, &sim::Device::rts, SETRTS, CLRRTS},
    {"TXD", &Slot::txd, &sim::Device::brk, SETBREAK, CLRBREAK},
};

struct Input {
    const char *name;
    decltype(&CTS) Slot::*fn;
    bool sim::Device::*line;
    int bit; // its weight in INPUTS
};

const Input INPUTS_TABLE[] = {
    {"CTS", &Slot::cts, &sim::Device::cts, 1},
    {"DSR", &Slot::dsr, &sim::Device::dsr, 2},
    {"RI", &Slot::ri, &sim::Device::ri, 4},
    {"DCD", &Slot::dcd, &sim::Device::dcd, 8},
};

class Modem : public BothSlots {
  protected:
    std::string escape(DWORD function) const {
        return call("EscapeCommFunction", "," + std::to_string(function));
    }
};

INSTANTIATE_TEST_SUITE_P(Slots, Modem, ::testing::ValuesIn(SLOTS), slot_name);

TEST_P(Modem, AnyNonZeroRequestAssertsAnOutputAndOnlyZeroReleasesIt) {
    const int requests[] = {1,       2, -1, 0x100, 0x10000, INT_MIN, static_cast<int>(0x80000000u),
                            INT_MAX, 0};
    for (const Output &out : OUTPUTS) {
        for (int on : requests) {
            SCOPED_TRACE(std::string(out.name) + "(" + std::to_string(on) + ")");
            sim::state().calls.clear();
            // Start from the opposite state so that the call has to change it.
            dev().*out.line = on == 0;
            EXPECT_EQ((slot().*out.fn)(on), TRUE);
            EXPECT_EQ(dev().*out.line, on != 0);
            EXPECT_EQ(sim::state().calls,
                      std::vector<std::string>{escape(on != 0 ? out.set : out.clear)});
        }
    }
}

TEST_P(Modem, OutputsReturnThePlatformFlag) {
    for (const Output &out : OUTPUTS) {
        for (int on : {1, 0}) {
            SCOPED_TRACE(std::string(out.name) + "(" + std::to_string(on) + ")");
            bool before = dev().*out.line = on == 0;
            sim::fail_next("EscapeCommFunction");
            EXPECT_EQ((slot().*out.fn)(on), 0);
            EXPECT_EQ(dev().*out.line, before);
        }
    }
}

TEST_P(Modem, OutputsLeaveTheOtherSlotsLinesAlone) {
    for (const Output &out : OUTPUTS) {
        SCOPED_TRACE(out.name);
        other().*out.line = false;
        (slot().*out.fn)(1);
        EXPECT_FALSE(other().*out.line);
        other().*out.line = true;
        (slot().*out.fn)(0);
        EXPECT_TRUE(other().*out.line);
    }
}

TEST_P(Modem, InputsReflectEveryCombinationOfLines) {
    for (int state = 0; state < 16; ++state) {
        SCOPED_TRACE(state);
        for (const Input &in : INPUTS_TABLE)
            dev().*in.line = (state & in.bit) != 0;
        // The other slot's device shows the opposite, so reading the wrong one shows.
        for (const Input &in : INPUTS_TABLE)
            other().*in.line = (state & in.bit) == 0;
        sim::state().calls.clear();
        for (const Input &in : INPUTS_TABLE)
            EXPECT_EQ((slot().*in.fn)(), (state & in.bit) ? 1 : 0) << in.name;
        EXPECT_EQ(slot().inputs(), state);
        EXPECT_EQ(sim::calls_of("GetCommModemStatus").size(), 5u);
    }
}

TEST_P(Modem, EachInputCallTakesAFreshReading) {
    for (const Input &in : INPUTS_TABLE) {
        SCOPED_TRACE(in.name);
        dev().*in.line = true;
        EXPECT_EQ((slot().*in.fn)(), 1);
        EXPECT_EQ(slot().inputs(), in.bit);
        dev().*in.line = false;
        EXPECT_EQ((slot().*in.fn)(), 0);
        EXPECT_EQ(slot().inputs(), 0);
    }
}

TEST_P(Modem, InputsReadZeroWhenTheStatusCannotBeRead) {
    for (const Input &in : INPUTS_TABLE)
        dev().*in.line = true;
    for (const Input &in : INPUTS_TABLE) {
        sim::fail_next("GetCommModemStatus");
        EXPECT_EQ((slot().*in.fn)(), 0) << in.name;
    }
    sim::fail_next("GetCommModemStatus");
    EXPECT_EQ(slot().inputs(), 0);
    EXPECT_EQ(slot().inputs(), 15);
}

TEST_P(Modem, LoopbackPlugShowsTheOutputsReleasedByTheOpen) {
    sim::Device &plug = sim::add_device("LOOP");
    plug.loopback = true;
    ASSERT_EQ(slot().open("LOOP:9600,N,8,1"), 1);
    EXPECT_EQ(slot().dsr(), 0);
    EXPECT_EQ(slot().dcd(), 0);
    EXPECT_EQ(slot().cts(), 0);
    EXPECT_EQ(slot().dtr(1), TRUE);
    EXPECT_EQ(slot().dsr(), 1);
    EXPECT_EQ(slot().dcd(), 1);
    EXPECT_EQ(slot().cts(), 0);
    EXPECT_EQ(slot().rts(1), TRUE);
    EXPECT_EQ(slot().cts(), 1);
    EXPECT_EQ(slot().inputs(), 1 | 2 | 8);
    EXPECT_EQ(slot().dtr(0), TRUE);
    EXPECT_EQ(slot().inputs(), 1);
    EXPECT_EQ(slot().rts(0), TRUE);
    EXPECT_EQ(slot().inputs(), 0);
}

// A slot that was never opened holds 0, one whose open failed holds INVALID_HANDLE_VALUE. Either
// way the functions still ask the platform with that handle and report failure or inputs off.
class ModemNoDevice : public Library, public ::testing::WithParamInterface<Slot> {};

INSTANTIATE_TEST_SUITE_P(Slots, ModemNoDevice, ::testing::ValuesIn(SLOTS), slot_name);

TEST_P(ModemNoDevice, ModemFunctionsFailOnAnEmptyOrFailedSlot) {
    const Slot &slot = GetParam();
    for (bool failed_open : {false, true}) {
        if (failed_open) {
            EXPECT_EQ(slot.open("COM7:9600,N,8,1"), 0);
        }
        const std::string h = failed_open ? "INVALID" : "0";
        SCOPED_TRACE(failed_open ? "failed" : "empty");
        for (const Output &out : OUTPUTS) {
            for (int on : {1, 0}) {
                SCOPED_TRACE(std::string(out.name) + "(" + std::to_string(on) + ")");
                sim::state().calls.clear();
                EXPECT_EQ((slot.*out.fn)(on), 0);
                EXPECT_EQ(sim::state().calls,
                          std::vector<std::string>{"EscapeCommFunction(" + h + "," +
                                                   std::to_string(on ? out.set : out.clear) + ")"});
            }
        }
        // Also where the failed call fills the word with set bits instead of leaving it.
        for (bool junk : {false, true}) {
            SCOPED_TRACE(junk ? "junk status" : "status unwritten");
            sim::state().modem_status_junk_on_failure = junk;
            for (const Input &in : INPUTS_TABLE) {
                SCOPED_TRACE(in.name);
                sim::state().calls.clear();
                EXPECT_EQ((slot.*in.fn)(), 0);
                EXPECT_EQ(sim::state().calls,
                          std::vector<std::string>{"GetCommModemStatus(" + h + ")"});
            }
            EXPECT_EQ(slot.inputs(), 0);
        }
        sim::state().modem_status_junk_on_failure = false;
    }
}

} // namespace
