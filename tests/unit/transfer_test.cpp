#include "fixture.h"

#include <climits>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<std::string> repeated(const std::string &call, size_t n) {
    return std::vector<std::string>(n, call);
}

class Transfer : public BothSlots {};

INSTANTIATE_TEST_SUITE_P(Slots, Transfer, ::testing::ValuesIn(SLOTS), slot_name);

TEST_P(Transfer, SendByteWritesTheLowEightBitsAsOneByte) {
    struct Case {
        int value;
        unsigned char sent;
    } cases[] = {{0x41, 0x41}, {0x141, 0x41}, {-1, 0xff},      {0, 0x00},
                 {0x80, 0x80}, {0x1ff, 0xff}, {INT_MIN, 0x00}, {INT_MAX, 0xff}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.value);
        dev().tx.clear();
        sim::state().calls.clear();
        EXPECT_EQ(slot().send_byte(c.value), TRUE);
        EXPECT_EQ(dev().tx, std::string(1, static_cast<char>(c.sent)));
        EXPECT_EQ(sim::calls_of("WriteFile").size(), 1u);
    }
}

TEST_P(Transfer, SendByteSucceedsOnlyWhenTheByteWasWritten) {
    struct Case {
        const char *name;
        void (*fault)();
        int result;
    } cases[] = {
        {"written", [] {}, TRUE},
        {"timed out", [] { sim::short_next("WriteFile"); }, 0},
        {"failed", [] { sim::fail_next("WriteFile"); }, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        c.fault();
        EXPECT_EQ(slot().send_byte('x'), c.result);
    }
}

TEST_P(Transfer, ReadByteGivesTheByteZeroExtended) {
    for (int b : {0x00, 0x01, 0x41, 0x7f, 0x80, 0xfe, 0xff}) {
        SCOPED_TRACE(b);
        sim::state().calls.clear();
        dev().feed(std::string(1, static_cast<char>(b)));
        EXPECT_EQ(slot().read_byte(), b);
        EXPECT_EQ(sim::state().calls, std::vector<std::string>{call("ReadFile", ",1")});
    }
}

TEST_P(Transfer, ReadByteGivesMinusOneWhenNoByteWasRead) {
    struct Case {
        const char *name;
        void (*fault)();
        bool byte_waiting;
        double waited_ms;
    } cases[] = {
        {"silent line", [] {}, false, 11},
        {"read timed out", [] { sim::short_next("ReadFile"); }, true, 0},
        {"read failed", [] { sim::fail_next("ReadFile"); }, true, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        dev().rx.clear();
        if (c.byte_waiting) dev().feed("Z");
        c.fault();
        double t0 = sim::now_ms();
        EXPECT_EQ(slot().read_byte(), -1);
        EXPECT_DOUBLE_EQ(sim::now_ms() - t0, c.waited_ms);
    }
}

TEST_P(Transfer, ReadByteOnASilentLineWaitsOneMillisecondMoreThanTheTimeoutConstant) {
    struct Case {
        int constant; // -1: as the open left it
        double waited_ms;
    } cases[] = {{-1, 11}, {0, 1}, {50, 51}, {1000, 1001}, {10, 11}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.constant);
        if (c.constant >= 0) {
            ASSERT_EQ(slot().timeouts(c.constant), TRUE);
        }
        double t0 = sim::now_ms();
        EXPECT_EQ(slot().read_byte(), -1);
        EXPECT_DOUBLE_EQ(sim::now_ms() - t0, c.waited_ms);
    }
}

TEST_P(Transfer, SendStringWritesTheTextOnceWithoutItsNul) {
    static const char embedded_nul[] = "AB\0CD";
    struct Case {
        const char *text;
        std::string sent;
    } cases[] = {
        {"AB", "AB"},
        {"line\r\n", "line\r\n"},
        {"\x01\x7f\x80\xff", "\x01\x7f\x80\xff"},
        {embedded_nul, "AB"},
        {"", ""},
        {nullptr, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text ? c.text : "(null)");
        dev().tx = "";
        sim::state().calls.clear();
        slot().send_string(c.text);
        EXPECT_EQ(dev().tx, c.sent);
        EXPECT_EQ(sim::calls_of("WriteFile").size(), 1u);
    }
}

TEST_P(Transfer, SendStringLogsTheCallerBytes) {
    slot().send_string("AB");
    slot().send_string("");
    EXPECT_EQ(sim::state().calls,
              (std::vector<std::string>{call("WriteFile", ",\"AB\""), call("WriteFile", ",\"\"")}));
}

TEST_P(Transfer, ReadStringReadsOneByteAtATimeUpToCrOrSilence) {
    struct Case {
        const char *name;
        std::string stream;
        std::vector<std::string> lines;
        size_t reads;
        double waited_ms;
    } cases[] = {
        {"one line", "AB\r", {"AB"}, 3, 0},
        {"CR LF pair", "AB\r\nCD\r", {"AB", "\nCD"}, 7, 0},
        {"nothing", "", {""}, 1, 11},
        {"no CR", "AB", {"AB"}, 3, 11},
        {"bare CR", "\r", {""}, 1, 0},
        {"two CRs", "\r\r", {"", ""}, 2, 0},
        {"high bytes", "\x80\xff\x01\r", {"\x80\xff\x01"}, 4, 0},
        {"lone LF", "\n\r", {"\n"}, 2, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        dev().rx.clear();
        sim::state().calls.clear();
        dev().feed(c.stream);
        double t0 = sim::now_ms();
        for (const std::string &line : c.lines) {
            const char *got = slot().read_string();
            ASSERT_NE(got, nullptr);
            EXPECT_EQ(std::string(got), line);
        }
        EXPECT_EQ(sim::state().calls, repeated(call("ReadFile", ",1"), c.reads));
        EXPECT_DOUBLE_EQ(sim::now_ms() - t0, c.waited_ms);
        EXPECT_EQ(dev().in_queue(), 0u);
    }
}

TEST_P(Transfer, ReadStringStoresANulAndReadsOnToTheCr) {
    dev().feed(std::string("A\0B\rC", 5));
    const char *got = slot().read_string();
    EXPECT_EQ(std::string(got, 4), std::string("A\0B\0", 4));
    EXPECT_EQ(dev().in_queue(), 1u);
}

TEST_P(Transfer, ReadStringEndsTheLineOnlyAtAGapLongerThanTheTimeout) {
    struct Case {
        double gap_ms;
        std::vector<std::string> lines;
    } cases[] = {
        {5, {"ABCD"}},
        {10, {"ABCD"}},
        {12, {"AB", "CD"}},
        {20, {"AB", "CD"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.gap_ms);
        dev().rx.clear();
        dev().feed("AB");
        dev().feed("CD\r", c.gap_ms);
        for (const std::string &line : c.lines)
            EXPECT_EQ(std::string(slot().read_string()), line);
        EXPECT_TRUE(dev().rx.empty());
    }
}

// A read that delivers nothing ends the line; the bytes after it stay queued for the next line.
TEST_P(Transfer, ReadStringStopsAtAFailedOrEmptyReadAndLosesNothing) {
    struct Case {
        const char *name;
        void (*fault)();
        std::vector<std::string> lines;
    } cases[] = {
        {"first read fails", [] { sim::fail_next("ReadFile"); }, {"", "ABCD"}},
        {"third read fails", [] { sim::fail_nth("ReadFile", 3); }, {"AB", "CD"}},
        {"first read times out", [] { sim::short_next("ReadFile"); }, {"", "ABCD"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        dev().rx.clear();
        dev().feed("ABCD\r");
        c.fault();
        for (const std::string &line : c.lines)
            EXPECT_EQ(std::string(slot().read_string()), line);
        EXPECT_TRUE(dev().rx.empty());
    }
}

TEST_P(Transfer, ReadStringReturnsALongLineWhole) {
    std::string line(1 << 20, '\0');
    for (size_t i = 0; i < line.size(); ++i)
        line[i] = static_cast<char>('a' + i % 26);
    dev().feed(line + "\r");
    const char *got = slot().read_string();
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(std::strlen(got), line.size());
    EXPECT_TRUE(std::string(got) == line);
}

// Storage that grew for a long line must still end a later short line in the right place.
TEST_P(Transfer, ReadStringAfterALongLineGivesOnlyTheNewLine) {
    dev().feed(std::string(1000, 'x') + "\rshort\r");
    EXPECT_EQ(std::strlen(slot().read_string()), 1000u);
    EXPECT_EQ(std::string(slot().read_string()), "short");
}

TEST_P(Transfer, ReadStringTextSurvivesOtherCallsOnTheSlot) {
    dev().feed("kept\rZ");
    const char *line = slot().read_string();
    slot().read_byte();
    slot().send_byte('q');
    slot().send_string("text");
    slot().in_queue();
    slot().out_queue();
    slot().clear();
    EXPECT_STREQ(line, "kept");
}

TEST_P(Transfer, ClearBufferPurgesOutputThenInput) {
    slot().clear();
    EXPECT_EQ(sim::state().calls,
              (std::vector<std::string>{call("PurgeComm", ",4"), call("PurgeComm", ",8")}));
}

TEST_P(Transfer, ClearBufferReturnsTheFlagOfTheInputPurge) {
    struct Case {
        const char *name;
        void (*fault)();
        int result;
    } cases[] = {
        {"both succeed", [] {}, TRUE},
        {"output purge fails", [] { sim::fail_nth("PurgeComm", 1); }, TRUE},
        {"input purge fails", [] { sim::fail_nth("PurgeComm", 2); }, 0},
        {"both fail", [] { sim::fail_always("PurgeComm"); }, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        sim::state().calls.clear();
        c.fault();
        EXPECT_EQ(slot().clear(), c.result);
        EXPECT_EQ(sim::calls_of("PurgeComm").size(), 2u);
    }
}

TEST_P(Transfer, ClearBufferEmptiesBothQueues) {
    dev().feed("waiting");
    dev().out_pending = 12;
    ASSERT_EQ(slot().in_queue(), 7);
    ASSERT_EQ(slot().out_queue(), 12);
    EXPECT_EQ(slot().clear(), TRUE);
    EXPECT_EQ(slot().in_queue(), 0);
    EXPECT_EQ(slot().out_queue(), 0);
    EXPECT_EQ(slot().read_byte(), -1);
}

TEST_P(Transfer, QueueCountsComeFromClearCommError) {
    struct Case {
        size_t in;
        DWORD out;
    } cases[] = {{0, 0}, {3, 0}, {0, 7}, {300, 4096}, {70000, 70000}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.in);
        dev().rx.clear();
        dev().feed(std::string(c.in, 'q'));
        dev().out_pending = c.out;
        sim::state().calls.clear();
        EXPECT_EQ(slot().in_queue(), static_cast<int>(c.in));
        EXPECT_EQ(slot().out_queue(), static_cast<int>(c.out));
        EXPECT_EQ(sim::state().calls, repeated(call("ClearCommError"), 2));
    }
}

TEST_P(Transfer, QueueCountsAreZeroWhenClearCommErrorFails) {
    dev().feed("abc");
    dev().out_pending = 9;
    for (auto count : {slot().in_queue, slot().out_queue}) {
        sim::fail_next("ClearCommError");
        EXPECT_EQ(count(), 0);
    }
}

TEST_P(Transfer, QueueCountsClearTheLineErrorState) {
    for (auto count : {slot().in_queue, slot().out_queue}) {
        dev().errors = CE_BREAK;
        count();
        EXPECT_EQ(dev().errors, 0u);
    }
}

class TransferTwoSlots : public Library {};

TEST_F(TransferTwoSlots, EachSlotKeepsItsOwnLineUntilItsNextRead) {
    sim::Device &d1 = open1();
    sim::Device &d2 = open2();
    d1.feed("one\rthree\r");
    d2.feed("two\rfour\r");
    const char *first = READSTRING();
    const char *second = READSTRING2();
    EXPECT_STREQ(first, "one");
    EXPECT_STREQ(second, "two");
    const char *third = READSTRING();
    EXPECT_STREQ(second, "two");
    EXPECT_STREQ(third, "three");
    const char *fourth = READSTRING2();
    EXPECT_STREQ(third, "three");
    EXPECT_STREQ(fourth, "four");
}

TEST_F(TransferTwoSlots, ReadString2IgnoresDataWaitingOnSlot1) {
    sim::Device &d1 = open1();
    sim::Device &d2 = open2();
    d1.feed("slot one\r");
    EXPECT_STREQ(READSTRING2(), "");
    d2.feed("slot two\r");
    EXPECT_STREQ(READSTRING2(), "slot two");
    EXPECT_EQ(d1.in_queue(), 9u);
}

// A slot that was never opened holds 0, one whose open failed holds INVALID_HANDLE_VALUE. Either
// way every function still asks the platform with that handle and reports the failure.
struct NoDeviceCase {
    const char *function;
    std::string (*call)(const Slot &);
    const char *result;
    std::vector<std::string> log; // '@' stands for the slot's handle
};

std::string quote(const char *text) { return text ? "\"" + std::string(text) + "\"" : "null"; }

const NoDeviceCase NO_DEVICE_CASES[] = {
    {"SENDBYTE",
     [](const Slot &s) { return std::to_string(s.send_byte('A')); },
     "0",
     {"WriteFile(@,\"A\")"}},
    {"READBYTE",
     [](const Slot &s) { return std::to_string(s.read_byte()); },
     "-1",
     {"ReadFile(@,1)"}},
    {"SENDSTRING",
     [](const Slot &s) {
         s.send_string("AB");
         return std::string("-");
     },
     "-",
     {"WriteFile(@,\"AB\")"}},
    {"READSTRING", [](const Slot &s) { return quote(s.read_string()); }, "\"\"", {"ReadFile(@,1)"}},
    {"CLEARBUFFER",
     [](const Slot &s) { return std::to_string(s.clear()); },
     "0",
     {"PurgeComm(@,4)", "PurgeComm(@,8)"}},
    {"INBUFFER",
     [](const Slot &s) { return std::to_string(s.in_queue()); },
     "0",
     {"ClearCommError(@)"}},
    {"OUTBUFFER",
     [](const Slot &s) { return std::to_string(s.out_queue()); },
     "0",
     {"ClearCommError(@)"}},
};

class TransferNoDevice : public Library, public ::testing::WithParamInterface<Slot> {};

INSTANTIATE_TEST_SUITE_P(Slots, TransferNoDevice, ::testing::ValuesIn(SLOTS), slot_name);

TEST_P(TransferNoDevice, EveryTransferFunctionFailsOnAnEmptyOrFailedSlot) {
    const Slot &slot = GetParam();
    for (bool failed_open : {false, true}) {
        if (failed_open) {
            EXPECT_EQ(slot.open("COM7:9600,N,8,1"), 0);
        }
        const std::string handle = failed_open ? "INVALID" : "0";
        for (const NoDeviceCase &c : NO_DEVICE_CASES) {
            SCOPED_TRACE(std::string(c.function) + " on " + (failed_open ? "failed" : "empty"));
            sim::state().calls.clear();
            EXPECT_EQ(c.call(slot), c.result);
            std::vector<std::string> expected = c.log;
            for (std::string &entry : expected)
                entry.replace(entry.find('@'), 1, handle);
            EXPECT_EQ(sim::state().calls, expected);
        }
    }
}

} // namespace
