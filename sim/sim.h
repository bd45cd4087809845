// A scriptable model of the Win32 calls the library makes: serial devices, the performance
// counter and the process priority class, all on one virtual clock. Every call is logged.
#pragma once

#include <windows.h>

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace sim {

struct Arrival {
    std::int64_t at_ns; // when the byte reaches the receive queue
    unsigned char byte;
};

struct Device {
    std::string name;
    HANDLE holder = 0; // the handle that has it open, 0 when free
    DCB dcb{};
    COMMTIMEOUTS timeouts{};
    DWORD in_queue_size = 0, out_queue_size = 0;
    std::deque<Arrival> rx;
    std::string tx;
    DWORD out_pending = 0; // bytes the test says are still in the transmit queue
    DWORD errors = 0;      // CE_* bits, cleared by ClearCommError
    bool dtr = false, rts = false, brk = false;
    bool cts = false, dsr = false, ri = false, dcd = false;
    bool loopback = false; // a plug tying DTR to DSR and DCD, RTS to CTS
    int purges_tx = 0, purges_rx = 0;

    // Queues bytes that arrive after delay_ms from now on the virtual clock.
    void feed(const std::string &bytes, double delay_ms = 0);
    // Bytes that have arrived and wait to be read.
    DWORD in_queue() const;
    DWORD modem_status() const;
    std::uint32_t flags_word() const;
};

struct State {
    std::deque<Device> devices; // a deque, so references to devices stay valid as more are added
    std::vector<std::string> calls;
    std::int64_t now_ns = 0;
    std::int64_t frequency = 10000000;
    std::int64_t counter_base = 0;
    std::int64_t qpc_cost_ns = 1000; // each counter read moves the clock on by this much
    DWORD priority_class = NORMAL_PRIORITY_CLASS;
    int bad_closes = 0;           // CloseHandle given 0, INVALID_HANDLE_VALUE or a closed handle
    bool blocked_forever = false; // a read without time-outs found no byte
    // A failed GetCommModemStatus sets every bit of its word, as Wine does for 32-bit hosts
    // beside wine64, instead of leaving it unwritten.
    bool modem_status_junk_on_failure = false;
    int reallocs = 0; // realloc calls, which fail_next("realloc") and the like fail
};

State &state();
void reset();
Device &add_device(const std::string &name);
Device *device(const std::string &name);
// The device a handle refers to, or null.
Device *device_of(HANDLE h);
int open_handles();

double now_ms();
void advance_ms(double ms);
std::int64_t counter_now();

// The next call of fn fails (or all of them from now on); a failed call leaves its
// out-parameters unwritten.
void fail_next(const std::string &fn);
void fail_always(const std::string &fn);
// Only the n-th call of fn from now on fails (1: the next one).
void fail_nth(const std::string &fn, int n);
// The next ReadFile or WriteFile succeeds but moves no byte.
void short_next(const std::string &fn);
// Only the n-th ReadFile or WriteFile from now on succeeds without moving a byte.
void short_nth(const std::string &fn, int n);

// Calls logged since the last reset whose text starts with prefix.
std::vector<std::string> calls_of(const std::string &prefix);
// A text as the log shows it: in double quotes, with \\, \" and \xNN escapes.
std::string quoted(const std::string &s);
// How to print a handle in the log: h1, h2... for opened handles, 0 and INVALID.
std::string handle_name(HANDLE h);

} // namespace sim
