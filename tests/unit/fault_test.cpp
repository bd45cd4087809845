// The fault matrix: every exported function, and detach, against every platform call it makes.
// A clean run lists the calls; then each call in turn fails (ReadFile and WriteFile also come
// back short, and realloc fails for the line storage), and the result and the state afterwards
// must be what the contract gives for that fault. Every run also checks that no handle is closed
// twice or left open, that 0 and INVALID_HANDLE_VALUE never reach CloseHandle, and that a slot's
// function never touches the other slot; the sanitizers watch memory.
//
// A new function joins by adding a row; a new platform call in an existing function is found by
// the clean run and gets its faults without any change here.
#include "fixture.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

namespace {

enum class Kind { fail, short_count };

struct Fault {
    bool none = true;
    Kind kind = Kind::fail;
    std::string fn; // the platform function hit
    int nth = 0;    // which of its calls within the function under test, from 1

    // n = 0: any call of fn.
    bool fails(const char *name, int n = 0) const {
        return !none && kind == Kind::fail && fn == name && (n == 0 || nth == n);
    }
    // A failure or a short count: either way no byte moved.
    bool moves_nothing(const char *name) const { return !none && fn == name; }
    std::string describe() const {
        if (none) return "no fault";
        return (kind == Kind::fail ? "fail " : "short ") + fn + " #" + std::to_string(nth);
    }
};

// What one run of a row showed.
struct Outcome {
    std::vector<std::string> calls; // the platform calls of the function under test
    int reallocs = 0;
    std::string result;
    std::string after; // the row's observation of the state it left
};

struct Expected {
    std::string result;
    std::string after;
};

struct Row {
    std::string name;
    int slot; // 1 or 2 for port functions, 0 otherwise
    std::function<void()> prepare;
    std::function<std::string()> call;
    std::function<std::string()> observe;
    std::function<Expected(const Fault &, const Outcome &)> expect;
};

void PrintTo(const Row &row, std::ostream *os) { *os << row.name; }
std::string row_name(const ::testing::TestParamInfo<Row> &info) { return info.param.name; }

// ---------------------------------------------------------------------------------------------
// The state every run starts from: both slots open, a line and more waiting on each, all modem
// inputs on, output pending, and a stopwatch calibrated to a 1 kHz counter far from 0 that moves 1
// ms per read, so that each counter read is one tick.

const std::string LINE = [] {
    std::string s;
    for (int i = 0; i < 100; ++i)
        s += static_cast<char>('A' + i % 26);
    return s;
}();
const std::string WAITING = LINE + "\rtail";
const DWORD OUT_PENDING = 7;
const std::int64_t COUNTER_BASE = 1000000; // ticks, so that a lost start shows

void arrange() {
    sim::reset();
    DllMain(0, DLL_PROCESS_ATTACH, 0);
    sim::add_device("COM1");
    sim::add_device("COM2");
    sim::add_device("COM3");
    EXPECT_EQ(OPENCOM("COM1:9600,N,8,1"), 1);
    EXPECT_EQ(OPENCOM2("COM2:9600,N,8,1"), 1);
    for (const char *name : {"COM1", "COM2"}) {
        sim::Device &d = *sim::device(name);
        d.feed(WAITING);
        d.out_pending = OUT_PENDING;
        d.cts = d.dsr = d.ri = d.dcd = true;
    }
    // A failed modem status read fills the word, as Wine does for 32-bit hosts beside wine64.
    sim::state().modem_status_junk_on_failure = true;
    sim::state().frequency = 1000;
    sim::state().counter_base = COUNTER_BASE;
    sim::state().qpc_cost_ns = 1000000;
    EXPECT_EQ(TIMEINIT(), TRUE);
    sim::advance_ms(250);
}

std::string flag(bool ok) { return ok ? "1" : "0"; }
std::string text(const char *s) { return s ? sim::quoted(s) : "null"; }

std::string fn_of(const std::string &call) { return call.substr(0, call.find('(')); }

// The handle the slot holds, as the platform sees it on the slot's next call.
std::string handle_used(const std::function<void()> &probe) {
    size_t mark = sim::state().calls.size();
    probe();
    const std::string &c = sim::state().calls.at(mark);
    size_t open = c.find('('), end = c.find_first_of(",)", open);
    return c.substr(open + 1, end - open - 1);
}

// ---------------------------------------------------------------------------------------------
// Rows for one slot's functions; slot 2's rows come from the same definitions.

void add_slot_rows(std::vector<Row> &rows, const Slot &s) {
    auto dev = [&s]() -> sim::Device & { return *sim::device(s.device); };
    auto row = [&](const char *name, std::function<void()> prepare,
                   std::function<std::string()> call, std::function<std::string()> observe,
                   std::function<Expected(const Fault &, const Outcome &)> expect) {
        rows.push_back({std::string(name) + s.suffix, s.number, std::move(prepare), std::move(call),
                        std::move(observe), std::move(expect)});
    };
    auto nothing = [] {};
    auto none = [] { return std::string(); };

    // A reopen on another device: the old handle goes first, the new one is stored whatever it
    // is, the time-outs are set whatever happened, and only applied settings give 1.
    row(
        "OPENCOM", nothing, [s] { return std::to_string(s.open("COM3:19200,E,7,2")); },
        [s] {
            std::string timeouts = sim::calls_of("SetCommTimeouts").back();
            std::string held = handle_used([s] { s.send_byte('?'); });
            bool binary = sim::device("COM3")->flags_word() == 1;
            return timeouts + " holds " + held + (binary ? " binary" : " untouched");
        },
        [](const Fault &f, const Outcome &) {
            bool created = !f.fails("CreateFileA");
            bool applied = created && !f.fails("SetCommState");
            std::string h = created ? "h3" : "INVALID";
            return Expected{flag(applied), "SetCommTimeouts(" + h + ",1,1,10,10,10) holds " + h +
                                               (applied ? " binary" : " untouched")};
        });
    row(
        "TIMEOUTS", nothing, [s] { return std::to_string(s.timeouts(25)); },
        [dev] { return std::to_string(dev().timeouts.ReadTotalTimeoutConstant); },
        [](const Fault &f, const Outcome &) {
            bool ok = !f.fails("SetCommTimeouts");
            return Expected{flag(ok), ok ? "25" : "10"};
        });
    row(
        "BUFFERSIZE", nothing, [s] { return std::to_string(s.buffer_size(4096)); },
        [dev] {
            return std::to_string(dev().in_queue_size) + "/" + std::to_string(dev().out_queue_size);
        },
        [](const Fault &f, const Outcome &) {
            bool ok = !f.fails("SetupComm");
            return Expected{flag(ok), ok ? "4096/4096" : "0/0"};
        });
    // Even when the platform refuses to close, the slot is empty afterwards.
    row(
        "CLOSECOM", nothing,
        [s] {
            s.close();
            return std::string("(void)");
        },
        [s] { return handle_used([s] { s.read_byte(); }); },
        [](const Fault &, const Outcome &) {
            return Expected{"(void)", "0"};
        });
    row(
        "SENDBYTE", nothing, [s] { return std::to_string(s.send_byte('Z')); },
        [dev] { return sim::quoted(dev().tx); },
        [](const Fault &f, const Outcome &) {
            bool sent = !f.moves_nothing("WriteFile");
            return Expected{flag(sent), sent ? "\"Z\"" : "\"\""};
        });
    // A read that brings no byte consumes none: the next read gets it.
    row(
        "READBYTE", nothing, [s] { return std::to_string(s.read_byte()); },
        [s] { return std::to_string(s.read_byte()); },
        [](const Fault &f, const Outcome &) {
            bool read = !f.moves_nothing("ReadFile");
            return Expected{read ? std::to_string(LINE[0]) : "-1",
                            std::to_string(LINE[read ? 1 : 0])};
        });
    row(
        "SENDSTRING", nothing,
        [s] {
            s.send_string("hello");
            return std::string("(void)");
        },
        [dev] { return sim::quoted(dev().tx); },
        [](const Fault &f, const Outcome &) {
            return Expected{"(void)", f.moves_nothing("WriteFile") ? "\"\"" : "\"hello\""};
        });
    // The line ends at the first read that brings no byte, or where storage ran out; either way
    // no byte is lost: the next READSTRING goes on from there.
    row(
        "READSTRING", nothing, [s] { return text(s.read_string()); },
        [s] { return text(s.read_string()); },
        [](const Fault &f, const Outcome &run) {
            std::string rest = WAITING;
            size_t got = LINE.size() + 1; // the line and its CR
            if (f.moves_nothing("ReadFile"))
                got = f.nth - 1;
            else if (f.fails("realloc"))
                got = static_cast<size_t>(
                    std::count_if(run.calls.begin(), run.calls.end(),
                                  [](const std::string &c) { return fn_of(c) == "ReadFile"; }));
            std::string line = LINE.substr(0, std::min(got, LINE.size()));
            std::string next = rest.substr(got);
            next = next.substr(0, next.find('\r'));
            return Expected{sim::quoted(line), sim::quoted(next)};
        });
    row(
        "CLEARBUFFER", nothing, [s] { return std::to_string(s.clear()); },
        [dev] {
            return std::to_string(dev().out_pending) + "/" + std::to_string(dev().in_queue());
        },
        [](const Fault &f, const Outcome &) {
            std::string out = f.fails("PurgeComm", 1) ? std::to_string(OUT_PENDING) : "0";
            std::string in = f.fails("PurgeComm", 2) ? std::to_string(WAITING.size()) : "0";
            return Expected{flag(!f.fails("PurgeComm", 2)), out + "/" + in};
        });
    row(
        "INBUFFER", nothing, [s] { return std::to_string(s.in_queue()); }, none,
        [](const Fault &f, const Outcome &) {
            return Expected{f.fails("ClearCommError") ? "0" : std::to_string(WAITING.size()), ""};
        });
    row(
        "OUTBUFFER", nothing, [s] { return std::to_string(s.out_queue()); }, none,
        [](const Fault &f, const Outcome &) {
            return Expected{f.fails("ClearCommError") ? "0" : std::to_string(OUT_PENDING), ""};
        });

    struct Output {
        const char *name;
        decltype(&DTR) Slot::*fn;
        bool sim::Device::*line;
    };
    for (Output o : {Output{"DTR", &Slot::dtr, &sim::Device::dtr},
                     Output{"RTS", &Slot::rts, &sim::Device::rts},
                     Output{"TXD", &Slot::txd, &sim::Device::brk}}) {
        row(
            o.name, nothing, [s, o] { return std::to_string((s.*o.fn)(1)); },
            [dev, o] { return std::string(dev().*o.line ? "on" : "off"); },
            [](const Fault &f, const Outcome &) {
                bool ok = !f.fails("EscapeCommFunction");
                return Expected{flag(ok), ok ? "on" : "off"};
            });
    }
    // All four inputs are on, so any failure shows as 0.
    struct Input {
        const char *name;
        decltype(&CTS) Slot::*fn;
        int all_on;
    };
    for (Input in :
         {Input{"CTS", &Slot::cts, 1}, Input{"DSR", &Slot::dsr, 1}, Input{"RI", &Slot::ri, 1},
          Input{"DCD", &Slot::dcd, 1}, Input{"INPUTS", &Slot::inputs, 15}}) {
        row(
            in.name, nothing, [s, in] { return std::to_string((s.*in.fn)()); }, none,
            [in](const Fault &f, const Outcome &) {
                return Expected{f.fails("GetCommModemStatus") ? "0" : std::to_string(in.all_on),
                                ""};
            });
    }
}

// ---------------------------------------------------------------------------------------------
// Rows for the stopwatch, the priority class and detach.

// How the stopwatch stands: restarted (reads near 0), still running from the start arrange()
// gave it, or started anywhere else; and its ms per counter tick.
std::string stopwatch() {
    double first = TIMEREAD();
    sim::advance_ms(500);
    double second = TIMEREAD();
    double ms_per_tick =
        (second - first) / (501.0 * 1e-3 * static_cast<double>(sim::state().frequency));
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s %.3f ms/tick",
                  first < 5      ? "restarted"
                  : first < 1000 ? "running"
                                 : "lost",
                  ms_per_tick);
    return buf;
}

void add_global_rows(std::vector<Row> &rows) {
    auto nothing = [] {};
    // The counter now runs at 2 kHz: a new calibration gives 0.5 ms per tick, the old one 1.
    rows.push_back({"TIMEINIT", 0, [] { sim::state().frequency = 2000; },
                    [] { return std::to_string(TIMEINIT()); }, stopwatch,
                    [](const Fault &f, const Outcome &) {
                        bool counted = !f.fails("QueryPerformanceCounter");
                        std::string how = counted ? "restarted" : "running";
                        how += f.fails("QueryPerformanceFrequency") ? " 1.000" : " 0.500";
                        return Expected{flag(counted), how + " ms/tick"};
                    }});
    // A failed counter read counts as 0 ticks: the start read in arrange() was 1 tick past the
    // base, and 251 ticks have passed since.
    rows.push_back({"TIMEREAD", 0, nothing,
                    [] {
                        char buf[64];
                        std::snprintf(buf, sizeof buf, "%.3f", TIMEREAD());
                        return std::string(buf);
                    },
                    [] { return std::string(); },
                    [](const Fault &f, const Outcome &) {
                        double ticks = f.fails("QueryPerformanceCounter")
                                           ? -static_cast<double>(COUNTER_BASE + 1)
                                           : 251.0;
                        char buf[64];
                        std::snprintf(buf, sizeof buf, "%.3f", ticks);
                        return Expected{buf, ""};
                    }});
    // Only a failed first read (the start) can end the wait early; a failed later read is one
    // more turn of the loop.
    rows.push_back({"DELAY", 0, nothing,
                    [] {
                        double t0 = sim::now_ms();
                        DELAY(5);
                        return std::string(sim::now_ms() - t0 >= 5 ? "waited" : "returned early");
                    },
                    [] { return std::string(); },
                    [](const Fault &f, const Outcome &) {
                        return Expected{f.fails("QueryPerformanceCounter", 1) ? "returned early"
                                                                              : "waited",
                                        ""};
                    }});
    struct Priority {
        const char *name;
        decltype(&REALTIME) fn;
        DWORD asked, before;
    };
    for (Priority p :
         {Priority{"REALTIME", REALTIME, REALTIME_PRIORITY_CLASS, NORMAL_PRIORITY_CLASS},
          Priority{"NORMALTIME", NORMALTIME, NORMAL_PRIORITY_CLASS, HIGH_PRIORITY_CLASS}}) {
        rows.push_back({p.name, 0, [p] { sim::state().priority_class = p.before; },
                        [p] { return std::to_string(p.fn()); },
                        [] { return std::to_string(sim::state().priority_class); },
                        [p](const Fault &f, const Outcome &) {
                            bool ok = !f.fails("SetPriorityClass");
                            return Expected{flag(ok), std::to_string(ok ? p.asked : p.before)};
                        }});
    }
    // Both slots are closed even when the first close fails; the line storage both slots grew
    // is freed (LeakSanitizer reports it otherwise).
    rows.push_back(
        {"DETACH", 0,
         [] {
             READSTRING();
             READSTRING2();
         },
         [] {
             DllMain(0, DLL_PROCESS_DETACH, 0);
             return std::string("(void)");
         },
         [] { return handle_used([] { READBYTE(); }) + "/" + handle_used([] { READBYTE2(); }); },
         [](const Fault &, const Outcome &run) {
             EXPECT_EQ(run.calls, (std::vector<std::string>{"CloseHandle(h1)", "CloseHandle(h2)"}));
             return Expected{"(void)", "0/0"};
         }});
}

std::vector<Row> all_rows() {
    std::vector<Row> rows;
    for (const Slot &s : SLOTS)
        add_slot_rows(rows, s);
    add_global_rows(rows);
    return rows;
}

// ---------------------------------------------------------------------------------------------

// GetCurrentProcess returns a constant pseudo-handle and has no failure to inject.
const std::set<std::string> CANNOT_FAIL = {"GetCurrentProcess"};
const std::set<std::string> TRANSFERS = {"ReadFile", "WriteFile"};

int g_faults_injected = 0;
int g_calls_covered = 0;
int g_rows_run = 0;

Outcome run_row(const Row &row, const Fault &fault) {
    arrange();
    row.prepare();
    sim::State &st = sim::state();
    size_t mark = st.calls.size();
    int reallocs = st.reallocs;
    if (!fault.none) {
        if (fault.kind == Kind::fail)
            sim::fail_nth(fault.fn, fault.nth);
        else
            sim::short_nth(fault.fn, fault.nth);
    }
    Outcome run;
    run.result = row.call();
    run.calls.assign(st.calls.begin() + static_cast<long>(mark), st.calls.end());
    run.reallocs = st.reallocs - reallocs;
    run.after = row.observe();
    return run;
}

// Every handle the platform gave out reached CloseHandle exactly once by the end of detach, and
// nothing else did.
void expect_every_handle_closed_once() {
    EXPECT_EQ(sim::state().bad_closes, 0)
        << "CloseHandle got 0, INVALID_HANDLE_VALUE or a closed handle";
    static const std::regex handle("\\b(h[0-9]+)\\b");
    std::set<std::string> seen;
    std::map<std::string, int> closes;
    for (const std::string &c : sim::state().calls) {
        for (std::sregex_iterator m(c.begin(), c.end(), handle), end; m != end; ++m)
            seen.insert((*m)[1]);
        if (c.rfind("CloseHandle(", 0) == 0) ++closes[c.substr(12, c.size() - 13)];
    }
    for (const std::string &h : seen)
        EXPECT_EQ(closes[h], 1) << h << " closed " << closes[h] << " times";
}

void check(const Row &row, const Fault &fault, const Outcome &clean) {
    SCOPED_TRACE(row.name + " with " + fault.describe());
    Outcome run = run_row(row, fault);
    Expected want = row.expect(fault, run);
    EXPECT_EQ(run.result, want.result);
    EXPECT_EQ(run.after, want.after);
    if (!fault.none) {
        // The fault hit the call it was meant for: the run matches the clean one up to there.
        size_t seen = 0;
        for (size_t i = 0; i < clean.calls.size() && i < run.calls.size(); ++i) {
            if (fn_of(clean.calls[i]) == fault.fn && ++seen == static_cast<size_t>(fault.nth)) {
                EXPECT_EQ(run.calls[i], clean.calls[i]);
                break;
            }
            ASSERT_EQ(run.calls[i], clean.calls[i]);
        }
        if (fault.fn == "realloc") {
            EXPECT_GE(run.reallocs, fault.nth);
        }
        ++g_faults_injected;
    }
    if (row.slot != 0) {
        std::string other = row.slot == 1 ? "h2" : "h1";
        for (const std::string &c : run.calls)
            EXPECT_EQ(c.find("(" + other), std::string::npos) << "touches the other slot: " << c;
    }
    DllMain(0, DLL_PROCESS_DETACH, 0);
    expect_every_handle_closed_once();
}

class FaultMatrix : public ::testing::TestWithParam<Row> {};

TEST_P(FaultMatrix, EachPlatformCallFailingGivesTheContractResult) {
    const Row &row = GetParam();
    Fault none;
    Outcome clean = run_row(row, none);
    DllMain(0, DLL_PROCESS_DETACH, 0);
    check(row, none, clean);

    std::vector<Fault> faults;
    std::map<std::string, int> seen;
    for (const std::string &c : clean.calls) {
        std::string fn = fn_of(c);
        int nth = ++seen[fn];
        if (CANNOT_FAIL.count(fn)) continue;
        faults.push_back({false, Kind::fail, fn, nth});
        if (TRANSFERS.count(fn)) faults.push_back({false, Kind::short_count, fn, nth});
    }
    for (int n = 1; n <= clean.reallocs; ++n)
        faults.push_back({false, Kind::fail, "realloc", n});
    ASSERT_FALSE(faults.empty()) << "every row makes at least one platform call";

    for (const Fault &f : faults)
        check(row, f, clean);
    g_calls_covered += static_cast<int>(clean.calls.size()) + clean.reallocs;
    ++g_rows_run;
    std::printf("[ figures  ] %s: %zu platform calls, %zu faults injected\n", row.name.c_str(),
                clean.calls.size() + static_cast<size_t>(clean.reallocs), faults.size());
}

INSTANTIATE_TEST_SUITE_P(Matrix, FaultMatrix, ::testing::ValuesIn(all_rows()), row_name);

// Every export has a row: a function added to the library without one fails here.
TEST(FaultMatrixRows, CoverEveryExportAndDetach) {
    std::set<std::string> names;
    for (const Row &row : all_rows())
        names.insert(row.name);
    EXPECT_EQ(names.size(), 44u) << "43 exports and detach";
    for (const char *port : {"OPENCOM", "TIMEOUTS", "BUFFERSIZE", "CLOSECOM", "SENDBYTE",
                             "READBYTE", "SENDSTRING", "READSTRING", "CLEARBUFFER", "INBUFFER",
                             "OUTBUFFER", "DTR", "RTS", "TXD", "CTS", "DSR", "RI", "DCD", "INPUTS"})
        for (const char *suffix : {"", "2"})
            EXPECT_TRUE(names.count(std::string(port) + suffix)) << port << suffix;
    for (const char *global : {"TIMEINIT", "TIMEREAD", "DELAY", "REALTIME", "NORMALTIME", "DETACH"})
        EXPECT_TRUE(names.count(global)) << global;
}

class Totals : public ::testing::Environment {
  public:
    void TearDown() override {
        if (g_rows_run > 1)
            std::printf(
                "[ figures  ] fault matrix: %d rows, %d platform calls, %d faults injected\n",
                g_rows_run, g_calls_covered, g_faults_injected);
    }
};
const auto *const totals = ::testing::AddGlobalTestEnvironment(new Totals);

} // namespace
