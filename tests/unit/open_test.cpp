#include "fixture.h"

#include <climits>

using ::testing::ElementsAre;

namespace {

class Open : public Library {};

TEST_F(Open, MakesTheCallsOfAnOpenInOrder) {
    sim::add_device("COM1");
    EXPECT_EQ(OPENCOM("COM1:9600,N,8,1"), 1);
    EXPECT_THAT(sim::state().calls,
                ElementsAre("CreateFileA(\"COM1\",c0000000,0,null,3,0,null)", "GetCommState(h1)",
                            "BuildCommDCBA(\"COM1:9600,N,8,1\")", "SetCommState(h1)",
                            "SetCommTimeouts(h1,1,1,10,10,10)"));
}

TEST_F(Open, OverlaysTheModeTextOnTheDeviceAndForcesTheLineDiscipline) {
    sim::Device &d = sim::add_device("COM1");
    d.dcb.XonLim = 77;
    ASSERT_EQ(OPENCOM("COM1:9600,N,8,1"), 1);
    EXPECT_EQ(d.dcb.BaudRate, 9600u);
    EXPECT_EQ(d.dcb.Parity, NOPARITY);
    EXPECT_EQ(d.dcb.ByteSize, 8);
    EXPECT_EQ(d.dcb.StopBits, ONESTOPBIT);
    EXPECT_EQ(d.flags_word(), 1u) << "binary only: no parity check, no flow control, DTR/RTS off";
    EXPECT_EQ(d.dcb.XonLim, 77) << "fields the text does not name keep the device's values";
    EXPECT_EQ(d.dcb.XonChar, 0x11);
    EXPECT_FALSE(d.dtr);
    EXPECT_FALSE(d.rts);
}

struct ModeCase {
    const char *mode;
    DWORD baud;
    BYTE parity, data, stop;
};

TEST_F(Open, AppliesEachModeSyntaxAndReplacesAnyHandshakeItAsksFor) {
    const ModeCase cases[] = {
        {"COM1:19200,E,7,2", 19200, EVENPARITY, 7, TWOSTOPBITS},
        {"COM1:96,o,8,1", 9600, ODDPARITY, 8, ONESTOPBIT},
        {"COM1:2400,N,8,1,P", 2400, NOPARITY, 8, ONESTOPBIT},
        {"COM1:4800,M,6,1.5,X", 4800, MARKPARITY, 6, ONE5STOPBITS},
        {"COM1: baud=57600 parity=S data=5 stop=2", 57600, SPACEPARITY, 5, TWOSTOPBITS},
        {"COM1: baud=9600 parity=N data=8 stop=1 octs=on odsr=on dtr=hs rts=hs xon=on idsr=on",
         9600, NOPARITY, 8, ONESTOPBIT},
    };
    for (const ModeCase &c : cases) {
        SCOPED_TRACE(c.mode);
        sim::reset();
        sim::Device &d = sim::add_device("COM1");
        ASSERT_EQ(OPENCOM(c.mode), 1);
        EXPECT_EQ(d.dcb.BaudRate, c.baud);
        EXPECT_EQ(d.dcb.Parity, c.parity);
        EXPECT_EQ(d.dcb.ByteSize, c.data);
        EXPECT_EQ(d.dcb.StopBits, c.stop);
        EXPECT_EQ(d.flags_word(), 1u);
        CLOSECOM();
    }
}

TEST_F(Open, ATextTheDeviceControlSyntaxRejectsKeepsTheDeviceSettings) {
    sim::Device &d = sim::add_device("COM1");
    EXPECT_EQ(OPENCOM("COM1:fast please"), 1);
    EXPECT_EQ(d.dcb.BaudRate, 1200u);
    EXPECT_EQ(d.dcb.ByteSize, 7);
    EXPECT_EQ(d.dcb.Parity, EVENPARITY);
    EXPECT_EQ(d.flags_word(), 1u);
}

struct NameCase {
    std::string mode;
    std::string device; // the name CreateFileA must get
};

TEST_F(Open, DerivesTheDeviceNameFromTheModeText) {
    const NameCase cases[] = {
        {"COM1:9600,N,8,1", "COM1"},
        {"com3:9600,N,8,1", "com3"},
        {"COM9", "COM9"},
        {"COM12:9600,N,8,1", "\\\\.\\COM12"},
        {"cOm255:9600", "\\\\.\\cOm255"},
        {"COM05:9600", "\\\\.\\COM05"},
        {"COM1 :9600", "COM1"},
        {"LPT1:9600", "LPT1"},
        {"COMX:9600", "COMX"},
        {"9600,N,8,1", "9600"},
        {"COM", "COM"},
        {"CO", "CO"},
        {"", ""},
        {"COM" + std::string(400, '7'), ""},
    };
    for (const NameCase &c : cases) {
        SCOPED_TRACE(c.mode);
        sim::state().calls.clear();
        OPENCOM(c.mode.c_str());
        ASSERT_FALSE(sim::state().calls.empty());
        EXPECT_EQ(sim::state().calls[0].rfind("CreateFileA(" + sim::quoted(c.device) + ",", 0), 0u)
            << sim::state().calls[0];
        EXPECT_EQ(sim::calls_of("BuildCommDCBA").at(0),
                  "BuildCommDCBA(" + sim::quoted(c.mode) + ")")
            << "the settings always come from the whole text";
        CLOSECOM();
    }
}

TEST_F(Open, ReachesPortsAboveNineByTheirOwnNumber) {
    sim::Device &com1 = sim::add_device("COM1");
    sim::Device &com12 = sim::add_device("COM12");
    ASSERT_EQ(OPENCOM("COM12:9600,N,8,1"), 1);
    EXPECT_NE(com12.holder, nullptr);
    EXPECT_EQ(com1.holder, nullptr);
    EXPECT_EQ(com12.dcb.BaudRate, 9600u);
}

TEST_F(Open, ANullModeTextIsAnEmptyOneAndFails) {
    sim::add_device("COM1");
    EXPECT_EQ(OPENCOM(nullptr), 0);
    EXPECT_EQ(sim::state().calls.at(0), "CreateFileA(\"\",c0000000,0,null,3,0,null)");
    EXPECT_EQ(sim::calls_of("BuildCommDCBA").at(0), "BuildCommDCBA(\"\")");
}

TEST_F(Open, AMissingDeviceLeavesTheSlotFailed) {
    EXPECT_EQ(OPENCOM("COM4:9600,N,8,1"), 0);
    EXPECT_THAT(sim::state().calls,
                ElementsAre("CreateFileA(\"COM4\",c0000000,0,null,3,0,null)",
                            "GetCommState(INVALID)", "BuildCommDCBA(\"COM4:9600,N,8,1\")",
                            "SetCommState(INVALID)", "SetCommTimeouts(INVALID,1,1,10,10,10)"));
    sim::state().calls.clear();
    EXPECT_EQ(TIMEOUTS(50), 0);
    EXPECT_EQ(BUFFERSIZE(1024), 0);
    EXPECT_THAT(sim::state().calls, ElementsAre("SetCommTimeouts(INVALID,1,1,50,10,50)",
                                                "SetupComm(INVALID,1024,1024)"));
}

TEST_F(Open, ADeviceHeldByTheOtherSlotCannotBeOpenedAgain) {
    sim::Device &d = open1();
    ASSERT_EQ(TIMEOUTS(40), 1);
    DCB before = d.dcb;
    HANDLE holder = d.holder;
    EXPECT_EQ(OPENCOM2("COM1:300,E,7,2"), 0);
    EXPECT_EQ(d.holder, holder) << "slot 1 still holds it";
    EXPECT_EQ(d.dcb.BaudRate, before.BaudRate);
    EXPECT_EQ(d.timeouts.ReadTotalTimeoutConstant, 40u);
    EXPECT_EQ(SENDBYTE(0x55), 1);
    EXPECT_EQ(SENDBYTE2(0x66), 0) << "slot 2 is in the failed state";
    EXPECT_EQ(d.tx, "\x55");
}

TEST_F(Open, ReopeningClosesTheOldHandleBeforeTheNewOpen) {
    sim::add_device("COM1");
    ASSERT_EQ(OPENCOM("COM1:9600,N,8,1"), 1);
    sim::state().calls.clear();
    EXPECT_EQ(OPENCOM("COM1:9600,N,8,1"), 1);
    EXPECT_EQ(sim::state().calls.at(0), "CloseHandle(h1)");
    EXPECT_EQ(sim::state().calls.at(1), "CreateFileA(\"COM1\",c0000000,0,null,3,0,null)");
    EXPECT_EQ(sim::open_handles(), 1);
}

TEST_F(Open, AReopenThatFailsStillReleasesTheOldDevice) {
    sim::Device &d = open1();
    EXPECT_EQ(OPENCOM("COM7:9600,N,8,1"), 0);
    EXPECT_EQ(d.holder, nullptr);
    EXPECT_EQ(sim::open_handles(), 0);
}

TEST_F(Open, ReportsRejectedSettingsButKeepsTheDeviceOpen) {
    sim::Device &d = sim::add_device("COM1");
    sim::fail_next("SetCommState");
    EXPECT_EQ(OPENCOM("COM1:9600,N,8,1"), 0);
    EXPECT_EQ(sim::calls_of("SetCommTimeouts").size(), 1u) << "time-outs are set whatever happens";
    EXPECT_NE(d.holder, nullptr) << "the device stays claimed until closed";
    CLOSECOM();
    EXPECT_EQ(d.holder, nullptr);
}

TEST_F(Open, IgnoresFailuresOfTheStepsWhoseResultItDoesNotUse) {
    for (const char *fn : {"GetCommState", "BuildCommDCBA", "SetCommTimeouts"}) {
        SCOPED_TRACE(fn);
        sim::reset();
        sim::add_device("COM1");
        sim::fail_next(fn);
        EXPECT_EQ(OPENCOM("COM1:9600,N,8,1"), 1);
        EXPECT_EQ(sim::state().calls.size(), 5u);
        CLOSECOM();
    }
}

TEST_F(Open, FailsCleanlyWhenTheDeviceCannotBeCreated) {
    sim::add_device("COM1");
    sim::fail_next("CreateFileA");
    EXPECT_EQ(OPENCOM("COM1:9600,N,8,1"), 0);
    EXPECT_EQ(sim::calls_of("SetCommState").at(0), "SetCommState(INVALID)");
}

struct TimeoutCase {
    int constant;
    DWORD sent;          // what the platform gets
    double read_wait_ms; // how long a one-byte read waits on a silent line
};

TEST_F(Open, SetsTimeOutsFromOneConstant) {
    const TimeoutCase cases[] = {
        {10, 10, 11}, {200, 200, 201}, {0, 0, 1}, {1, 1, 2}, {-1, 0xffffffffu, 4294967296.0}};
    open1();
    for (const TimeoutCase &c : cases) {
        SCOPED_TRACE(c.constant);
        sim::state().calls.clear();
        EXPECT_EQ(TIMEOUTS(c.constant), 1);
        EXPECT_EQ(sim::state().calls.at(0), "SetCommTimeouts(h1,1,1," + std::to_string(c.sent) +
                                                ",10," + std::to_string(c.sent) + ")");
        double start = sim::now_ms();
        EXPECT_EQ(READBYTE(), -1);
        EXPECT_DOUBLE_EQ(sim::now_ms() - start, c.read_wait_ms);
    }
}

TEST_F(Open, ASilentLineTimesOutAfterElevenMillisecondsOnceOpened) {
    open1();
    double start = sim::now_ms();
    EXPECT_EQ(READBYTE(), -1);
    EXPECT_DOUBLE_EQ(sim::now_ms() - start, 11.0);
}

TEST_F(Open, EachSlotKeepsItsOwnTimeOuts) {
    sim::Device &one = open1();
    ASSERT_EQ(TIMEOUTS(200), 1);
    sim::Device &two = open2();
    EXPECT_EQ(one.timeouts.ReadTotalTimeoutConstant, 200u);
    EXPECT_EQ(two.timeouts.ReadTotalTimeoutConstant, 10u);
    ASSERT_EQ(TIMEOUTS2(30), 1);
    ASSERT_EQ(OPENCOM("COM1:9600,N,8,1"), 1);
    EXPECT_EQ(one.timeouts.ReadTotalTimeoutConstant, 10u);
    EXPECT_EQ(two.timeouts.ReadTotalTimeoutConstant, 30u);
}

TEST_F(Open, SetsBothQueueSizes) {
    sim::Device &d = open1();
    EXPECT_EQ(BUFFERSIZE(4096), 1);
    EXPECT_EQ(d.in_queue_size, 4096u);
    EXPECT_EQ(d.out_queue_size, 4096u);
    EXPECT_EQ(BUFFERSIZE(INT_MIN), 1);
    EXPECT_EQ(sim::state().calls.back(), "SetupComm(h1,2147483648,2147483648)");
    sim::fail_next("SetupComm");
    EXPECT_EQ(BUFFERSIZE(512), 0);
}

TEST_F(Open, ConfigurationFailsOnAnEmptySlot) {
    EXPECT_EQ(TIMEOUTS(10), 0);
    EXPECT_EQ(BUFFERSIZE(10), 0);
    EXPECT_EQ(TIMEOUTS2(10), 0);
    EXPECT_EQ(BUFFERSIZE2(10), 0);
    EXPECT_THAT(sim::state().calls,
                ElementsAre("SetCommTimeouts(0,1,1,10,10,10)", "SetupComm(0,10,10)",
                            "SetCommTimeouts(0,1,1,10,10,10)", "SetupComm(0,10,10)"));
}

TEST_F(Open, OpensInSlotTwoOnlyTouchSlotTwo) {
    sim::Device &one = open1();
    sim::Device &two = sim::add_device("COM2");
    ASSERT_EQ(OPENCOM2("COM2:19200,E,7,2"), 1);
    EXPECT_EQ(two.dcb.BaudRate, 19200u);
    EXPECT_EQ(one.dcb.BaudRate, 9600u);
    CLOSECOM2();
    EXPECT_EQ(two.holder, nullptr);
    EXPECT_NE(one.holder, nullptr);
}

class Close : public Library {};

TEST_F(Close, ReleasesTheDeviceAndEmptiesTheSlot) {
    sim::Device &d = open1();
    CLOSECOM();
    EXPECT_THAT(sim::state().calls, ElementsAre("CloseHandle(h1)"));
    EXPECT_EQ(d.holder, nullptr);
    EXPECT_EQ(READBYTE(), -1);
    EXPECT_EQ(sim::state().calls.back(), "ReadFile(0,1)");
}

// Closing 0 or INVALID_HANDLE_VALUE raises an exception in a host run under a debugger.
TEST_F(Close, NeverClosesAnEmptyOrFailedHandle) {
    CLOSECOM();
    CLOSECOM2();
    EXPECT_EQ(OPENCOM("COM8:9600,N,8,1"), 0);
    EXPECT_EQ(OPENCOM("COM8:9600,N,8,1"), 0) << "reopening a failed slot";
    CLOSECOM();
    EXPECT_TRUE(sim::calls_of("CloseHandle").empty());
    EXPECT_EQ(sim::state().bad_closes, 0);
    sim::state().calls.clear();
    EXPECT_EQ(TIMEOUTS(5), 0);
    EXPECT_EQ(sim::state().calls.back(), "SetCommTimeouts(0,1,1,5,10,5)") << "the slot is empty";
}

TEST_F(Close, TheSlotIsEmptyEvenWhenTheCloseFails) {
    sim::Device &d = open1();
    sim::fail_next("CloseHandle");
    CLOSECOM();
    EXPECT_EQ(SENDBYTE(1), 0);
    EXPECT_EQ(sim::state().calls.back(), "WriteFile(0,\"\\x01\")");
    EXPECT_TRUE(d.tx.empty());
}

} // namespace
