// Each test starts with a freshly attached library on an empty simulated platform, and ends by
// detaching it so that no slot leaks into the next test.
#pragma once

#include "kalvex.h"
#include "sim.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <ostream>
#include <string>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID);

class Library : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::reset();
        DllMain(0, DLL_PROCESS_ATTACH, 0);
    }
    void TearDown() override { DllMain(0, DLL_PROCESS_DETACH, 0); }

    // A device opened in slot 1 (or slot 2), with the open's own calls cleared from the log.
    sim::Device &open1(const std::string &name = "COM1") {
        device_named(name);
        EXPECT_EQ(OPENCOM((name + ":9600,N,8,1").c_str()), 1);
        sim::state().calls.clear();
        return *sim::device(name);
    }
    sim::Device &open2(const std::string &name = "COM2") {
        device_named(name);
        EXPECT_EQ(OPENCOM2((name + ":9600,N,8,1").c_str()), 1);
        sim::state().calls.clear();
        return *sim::device(name);
    }

  private:
    static sim::Device &device_named(const std::string &name) {
        sim::Device *d = sim::device(name);
        return d ? *d : sim::add_device(name);
    }
};

// Every function of one slot's family, so that one test body runs on both slots.
struct Slot {
    const char *name;
    int number;
    const char *suffix;
    const char *device; // what open1() and open2() open
    decltype(&OPENCOM) open;
    decltype(&TIMEOUTS) timeouts;
    decltype(&BUFFERSIZE) buffer_size;
    decltype(&CLOSECOM) close;
    decltype(&SENDBYTE) send_byte;
    decltype(&READBYTE) read_byte;
    decltype(&SENDSTRING) send_string;
    decltype(&READSTRING) read_string;
    decltype(&CLEARBUFFER) clear;
    decltype(&INBUFFER) in_queue;
    decltype(&OUTBUFFER) out_queue;
    decltype(&DTR) dtr, rts, txd;
    decltype(&CTS) cts, dsr, ri, dcd, inputs;
};

inline const Slot SLOTS[] = {
    {"slot1",  1,        "",         "COM1",     OPENCOM,     TIMEOUTS, BUFFERSIZE, CLOSECOM,
     SENDBYTE, READBYTE, SENDSTRING, READSTRING, CLEARBUFFER, INBUFFER, OUTBUFFER,  DTR,
     RTS,      TXD,      CTS,        DSR,        RI,          DCD,      INPUTS},
    {"slot2",      2,         "2",        "COM2",    OPENCOM2,    TIMEOUTS2,
     BUFFERSIZE2,  CLOSECOM2, SENDBYTE2,  READBYTE2, SENDSTRING2, READSTRING2,
     CLEARBUFFER2, INBUFFER2, OUTBUFFER2, DTR2,      RTS2,        TXD2,
     CTS2,         DSR2,      RI2,        DCD2,      INPUTS2},
};

inline void PrintTo(const Slot &slot, std::ostream *os) { *os << slot.name; }
inline std::string slot_name(const ::testing::TestParamInfo<Slot> &info) { return info.param.name; }

// Both slots hold a device; the tested slot's functions must never reach the other one.
class BothSlots : public Library, public ::testing::WithParamInterface<Slot> {
  protected:
    void SetUp() override {
        Library::SetUp();
        sim::Device &d1 = open1();
        sim::Device &d2 = open2();
        bool first = GetParam().number == 1;
        dev_ = first ? &d1 : &d2;
        other_ = first ? &d2 : &d1;
        h_ = sim::handle_name(dev_->holder);
        other_h_ = sim::handle_name(other_->holder);
    }
    void TearDown() override {
        for (const std::string &call : sim::state().calls) {
            EXPECT_EQ(call.find("(" + other_h_ + ","), std::string::npos) << call;
            EXPECT_EQ(call.find("(" + other_h_ + ")"), std::string::npos) << call;
        }
        Library::TearDown();
    }

    const Slot &slot() const { return GetParam(); }
    sim::Device &dev() { return *dev_; }
    sim::Device &other() { return *other_; }
    // The log line of a call on the tested slot's handle.
    std::string call(const std::string &fn, const std::string &args = "") const {
        return fn + "(" + h_ + args + ")";
    }

  private:
    sim::Device *dev_ = nullptr, *other_ = nullptr;
    std::string h_, other_h_;
};
