// READSTRING and READBYTE on both slots over any byte stream with any gaps, against a small model
// of the framing written apart from the library: a read gets the next byte if it arrives within
// the read time-out (constant + 1 ms for one byte), a line is the bytes up to CR (dropped) or up to
// the first read that brings nothing. Failed and short reads end a line without consuming a byte;
// so does storage that runs out, which ends the line early but loses nothing. Each slot's text
// stays as it was while the other slot reads.
//
// Input: a program of operations, each a byte `op` (low 3 bits the kind, bit 3 the slot) and its
// operands:
//   0 feed: count byte (1-32), gap (2 bytes, 10 us units), then the bytes, arriving together
//   1 READSTRING   2 READBYTE   3 TIMEOUTS: constant (2 bytes, ms)
//   4 the next ReadFile fails   5 the next ReadFile moves nothing   6 the next realloc fails
//   7 the clock moves on: 2 bytes, 10 us units
#include "kalvex.h"
#include "sim.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID);

namespace {

[[noreturn]] void fail(const std::string &what) {
    std::fprintf(stderr, "readstring_fuzz: %s\n", what.c_str());
    std::abort();
}
void require(bool ok, const std::string &what) {
    if (!ok) fail(what);
}

const std::int64_t UNIT_NS = 10000;
const std::int64_t MS_NS = 1000000;

struct Byte {
    std::int64_t at;
    unsigned char value;
};

struct ModelSlot {
    std::deque<Byte> queue;
    std::int64_t constant_ms = 10; // as an open leaves it
    std::int64_t last_arrival = 0;
    std::string text;       // what the slot's last READSTRING gave
    const char *given = ""; // and where it gave it
};

struct Model {
    std::int64_t now = 0;
    bool fail_read = false, short_read = false;
    ModelSlot slots[2];

    // One byte read: -1 when the read brings nothing. A failed or short read takes no time.
    int read(int s) {
        if (fail_read) {
            fail_read = false;
            return -1;
        }
        if (short_read) {
            short_read = false;
            return -1;
        }
        ModelSlot &m = slots[s];
        std::int64_t deadline = now + (1 + m.constant_ms) * MS_NS;
        if (!m.queue.empty() && m.queue.front().at <= deadline) {
            if (m.queue.front().at > now) now = m.queue.front().at;
            int b = m.queue.front().value;
            m.queue.pop_front();
            return b;
        }
        now = deadline;
        return -1;
    }
};

struct Slot {
    const char *device;
    decltype(&READSTRING) read_string;
    decltype(&READBYTE) read_byte;
    decltype(&TIMEOUTS) timeouts;
};
const Slot SLOTS[] = {{"COM1", READSTRING, READBYTE, TIMEOUTS},
                      {"COM2", READSTRING2, READBYTE2, TIMEOUTS2}};

size_t reads_since(size_t mark) {
    const auto &calls = sim::state().calls;
    size_t n = 0;
    for (size_t i = mark; i < calls.size(); ++i)
        n += calls[i].rfind("ReadFile(", 0) == 0;
    return n;
}

void expect_in_step(const Model &model, int s) {
    require(sim::state().now_ns == model.now, "clock " + std::to_string(sim::state().now_ns) +
                                                  " ns, model " + std::to_string(model.now));
    const sim::Device &d = *sim::device(SLOTS[s].device);
    require(d.rx.size() == model.slots[s].queue.size(), "bytes left in the queue");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    sim::reset();
    DllMain(0, DLL_PROCESS_ATTACH, 0);
    sim::add_device("COM1");
    sim::add_device("COM2");
    require(OPENCOM("COM1:9600,N,8,1") == 1 && OPENCOM2("COM2:9600,N,8,1") == 1, "open");
    sim::state().calls.clear();

    Model model;
    bool realloc_armed = false;
    size_t p = 0;
    auto next = [&]() -> unsigned { return p < size ? data[p++] : 0u; };
    auto next16 = [&]() -> std::int64_t {
        unsigned hi = next();
        return static_cast<std::int64_t>(hi << 8 | next());
    };

    while (p < size) {
        const unsigned op = next();
        const int s = (op >> 3) & 1;
        const Slot &slot = SLOTS[s];
        ModelSlot &m = model.slots[s];
        sim::Device &dev = *sim::device(slot.device);
        switch (op & 7) {
        case 0: {
            size_t count = next() % 32 + 1;
            std::int64_t at = model.now + next16() * UNIT_NS;
            // A line delivers bytes in order: none arrives before the one sent ahead of it.
            if (at < m.last_arrival) at = m.last_arrival;
            m.last_arrival = at;
            for (size_t i = 0; i < count && p < size; ++i) {
                unsigned char b = static_cast<unsigned char>(next());
                m.queue.push_back({at, b});
                dev.rx.push_back({at, b});
            }
            break;
        }
        case 1: {
            const ModelSlot &o = model.slots[1 - s];
            size_t mark = sim::state().calls.size();
            int reallocs = sim::state().reallocs;
            const char *got = slot.read_string();
            require(got != nullptr, "READSTRING gave a null pointer");
            size_t reads = reads_since(mark);
            bool ran_out = realloc_armed && sim::state().reallocs > reallocs;
            std::string line;
            if (ran_out) {
                // Storage ran out: every read so far brought a byte, and none was a CR.
                realloc_armed = false;
                for (size_t i = 0; i < reads; ++i) {
                    int b = model.read(s);
                    require(b >= 0 && b != '\r', "a line cut short by memory lost a byte");
                    line += static_cast<char>(b);
                }
            } else {
                size_t model_reads = 0;
                for (;;) {
                    int b = model.read(s);
                    ++model_reads;
                    if (b < 0 || b == '\r') break;
                    line += static_cast<char>(b);
                }
                require(reads == model_reads, "READSTRING made " + std::to_string(reads) +
                                                  " reads, the model " +
                                                  std::to_string(model_reads));
            }
            require(std::memcmp(got, line.data(), line.size()) == 0 && got[line.size()] == '\0',
                    "READSTRING gave " + sim::quoted(std::string(got)) + ", the model " +
                        sim::quoted(line));
            // The other slot's text is untouched by this slot's read.
            require(std::memcmp(o.given, o.text.data(), o.text.size()) == 0 &&
                        o.given[o.text.size()] == '\0',
                    "the other slot's line changed");
            m.text = line;
            m.given = got;
            expect_in_step(model, s);
            break;
        }
        case 2: {
            int got = slot.read_byte();
            int want = model.read(s);
            require(got == want,
                    "READBYTE " + std::to_string(got) + ", model " + std::to_string(want));
            expect_in_step(model, s);
            break;
        }
        case 3: {
            m.constant_ms = next16();
            require(slot.timeouts(static_cast<int>(m.constant_ms)) == TRUE, "TIMEOUTS");
            break;
        }
        case 4:
            sim::fail_next("ReadFile");
            model.fail_read = true;
            break;
        case 5:
            sim::short_next("ReadFile");
            model.short_read = true;
            break;
        case 6:
            sim::fail_next("realloc");
            realloc_armed = true;
            break;
        case 7:
            model.now += next16() * UNIT_NS;
            sim::state().now_ns = model.now;
            break;
        }
        // Bounded: the log of a long program would otherwise grow without end.
        if (sim::state().calls.size() > 4096) sim::state().calls.clear();
    }

    DllMain(0, DLL_PROCESS_DETACH, 0);
    require(sim::state().bad_closes == 0, "bad close");
    require(sim::open_handles() == 0, "a device is still held after detach");
    return 0;
}
