// Each test starts with a freshly attached library on an empty simulated platform, and ends by
// detaching it so that no slot leaks into the next test.
#pragma once

#include "kalvex.h"
#include "sim.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

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
