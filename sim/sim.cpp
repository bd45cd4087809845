#include "sim.h"

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <map>

namespace sim {
namespace {

State g_state;
std::map<std::string, int> g_faults; // fn -> calls left to fail (-1: all)
std::map<std::string, int> g_shorts;
std::map<std::string, int> g_later_faults; // fn -> calls that still succeed before one fails
std::map<std::string, int> g_later_shorts;

const std::uintptr_t HANDLE_BASE = 0x1000;
std::uintptr_t g_next_handle = HANDLE_BASE;

HANDLE process_handle() { return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1)); }

std::string format(const char *fmt, ...) {
    char buf[256];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, args);
    va_end(args);
    return buf;
}

} // namespace

std::string quoted(const std::string &s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7f) {
            out += format("\\x%02x", c);
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

namespace {

void log(const std::string &call) { g_state.calls.push_back(call); }

bool take(std::map<std::string, int> &table, const char *fn) {
    auto it = table.find(fn);
    if (it == table.end()) return false;
    if (it->second > 0 && --it->second == 0) table.erase(it);
    return true;
}

bool take_later(const char *fn, std::map<std::string, int> &table = g_later_faults) {
    auto it = table.find(fn);
    if (it == table.end()) return false;
    if (it->second-- > 0) return false;
    table.erase(it);
    return true;
}

// A short transfer armed by short_next or short_nth; both counters move on every call.
bool take_short(const char *fn) {
    bool later = take_later(fn, g_later_shorts);
    return take(g_shorts, fn) || later;
}

// Logs the call and tells whether an injected fault makes it fail.
bool enter(const char *fn, const std::string &args) {
    log(std::string(fn) + "(" + args + ")");
    bool later = take_later(fn);
    return take(g_faults, fn) || later;
}

std::string upper(std::string s) {
    for (char &c : s)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

std::int64_t ms_to_ns(double ms) { return static_cast<std::int64_t>(ms * 1e6); }

// The device a CreateFileA name reaches: "\\.\NAME" reaches NAME; without the prefix only the
// one-digit COM names are devices, as on the real platform.
Device *device_for_name(const char *name) {
    std::string n = upper(name);
    bool device_namespace = n.rfind("\\\\.\\", 0) == 0;
    if (device_namespace) n = n.substr(4);
    if (!device_namespace && n.size() > 4 && n.rfind("COM", 0) == 0) return nullptr;
    for (Device &d : g_state.devices)
        if (upper(d.name) == n) return &d;
    return nullptr;
}

} // namespace

void Device::feed(const std::string &bytes, double delay_ms) {
    std::int64_t at = g_state.now_ns + ms_to_ns(delay_ms);
    for (unsigned char c : bytes)
        rx.push_back({at, c});
}

DWORD Device::in_queue() const {
    DWORD n = 0;
    for (const Arrival &a : rx) {
        if (a.at_ns > g_state.now_ns) break;
        ++n;
    }
    return n;
}

DWORD Device::modem_status() const {
    bool c = loopback ? rts : cts;
    bool s = loopback ? dtr : dsr;
    bool d = loopback ? dtr : dcd;
    return (c ? MS_CTS_ON : 0) | (s ? MS_DSR_ON : 0) | (ri ? MS_RING_ON : 0) | (d ? MS_RLSD_ON : 0);
}

std::uint32_t Device::flags_word() const {
    std::uint32_t word;
    std::memcpy(&word, reinterpret_cast<const char *>(&dcb) + 2 * sizeof(DWORD), sizeof word);
    return word;
}

State &state() { return g_state; }

void reset() {
    g_state = State();
    g_faults.clear();
    g_shorts.clear();
    g_later_faults.clear();
    g_later_shorts.clear();
    g_next_handle = HANDLE_BASE;
}

Device &add_device(const std::string &name) {
    Device d;
    d.name = name;
    d.dcb.DCBlength = sizeof(DCB);
    d.dcb.BaudRate = 1200;
    d.dcb.ByteSize = 7;
    d.dcb.Parity = EVENPARITY;
    d.dcb.StopBits = ONESTOPBIT;
    // A device left with handshaking on by whoever used it last.
    d.dcb.fOutxCtsFlow = 1;
    d.dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
    d.dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    d.dcb.fOutX = 1;
    d.dcb.fInX = 1;
    d.dcb.XonChar = 0x11;
    d.dcb.XoffChar = 0x13;
    d.dtr = true;
    d.rts = true;
    g_state.devices.push_back(d);
    return g_state.devices.back();
}

Device *device(const std::string &name) {
    for (Device &d : g_state.devices)
        if (d.name == name) return &d;
    return nullptr;
}

Device *device_of(HANDLE h) {
    if (h == 0 || h == INVALID_HANDLE_VALUE) return nullptr;
    for (Device &d : g_state.devices)
        if (d.holder == h) return &d;
    return nullptr;
}

int open_handles() {
    int n = 0;
    for (const Device &d : g_state.devices)
        n += d.holder != 0;
    return n;
}

double now_ms() { return static_cast<double>(g_state.now_ns) / 1e6; }
void advance_ms(double ms) { g_state.now_ns += ms_to_ns(ms); }

std::int64_t counter_now() {
    __int128 ticks = static_cast<__int128>(g_state.now_ns) * g_state.frequency / 1000000000;
    // A hardware counter wraps; signed addition would be undefined near the top of the range.
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(g_state.counter_base) +
                                     static_cast<std::uint64_t>(static_cast<std::int64_t>(ticks)));
}

void fail_next(const std::string &fn) { g_faults[fn] = 1; }
void fail_always(const std::string &fn) { g_faults[fn] = -1; }
void fail_nth(const std::string &fn, int n) { g_later_faults[fn] = n - 1; }
void short_next(const std::string &fn) { g_shorts[fn] = 1; }
void short_nth(const std::string &fn, int n) { g_later_shorts[fn] = n - 1; }

std::vector<std::string> calls_of(const std::string &prefix) {
    std::vector<std::string> out;
    for (const std::string &c : g_state.calls)
        if (c.rfind(prefix, 0) == 0) out.push_back(c);
    return out;
}

std::string handle_name(HANDLE h) {
    if (h == 0) return "0";
    if (h == INVALID_HANDLE_VALUE) return "INVALID";
    auto v = reinterpret_cast<std::uintptr_t>(h);
    if (v >= HANDLE_BASE && v < g_next_handle) return format("h%u", unsigned(v - HANDLE_BASE + 1));
    return format("%p", h);
}

} // namespace sim

using namespace sim;

// The native build links with --wrap=realloc, so the library's line storage can be made to run
// out. Not logged: the call log holds Win32 calls only.
extern "C" void *__real_realloc(void *p, std::size_t n);
extern "C" void *__wrap_realloc(void *p, std::size_t n) {
    ++g_state.reallocs;
    bool later = take_later("realloc");
    if (take(g_faults, "realloc") || later) return nullptr;
    return __real_realloc(p, n);
}

HANDLE WINAPI CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                          DWORD disposition, DWORD attributes, HANDLE templ) {
    std::string args = (name ? quoted(name) : std::string("null")) +
                       format(",%x,%u,%s,%u,%u,%s", access, share, security ? "sa" : "null",
                              disposition, attributes, templ ? "template" : "null");
    if (enter("CreateFileA", args) || !name) return INVALID_HANDLE_VALUE;
    Device *d = device_for_name(name);
    if (!d || d->holder != 0 || disposition != OPEN_EXISTING) return INVALID_HANDLE_VALUE;
    d->holder = reinterpret_cast<HANDLE>(g_next_handle++);
    return d->holder;
}

BOOL WINAPI CloseHandle(HANDLE h) {
    bool fault = enter("CloseHandle", handle_name(h));
    Device *d = device_of(h);
    if (!d) {
        ++g_state.bad_closes;
        return FALSE;
    }
    if (fault) return FALSE;
    d->holder = 0;
    return TRUE;
}

BOOL WINAPI GetCommState(HANDLE h, LPDCB dcb) {
    Device *d = device_of(h);
    if (enter("GetCommState", handle_name(h)) || !d) return FALSE;
    *dcb = d->dcb;
    return TRUE;
}

namespace {

// One "key=value" of the keyword syntax; false for a key or value it does not know.
bool apply_keyword(DCB &dcb, const std::string &key, const std::string &value) {
    if (key == "BAUD") {
        char *end;
        unsigned long baud = std::strtoul(value.c_str(), &end, 10);
        if (*end || value.empty()) return false;
        dcb.BaudRate = static_cast<DWORD>(baud);
    } else if (key == "PARITY") {
        static const char letters[] = "NOEMS";
        const char *p = value.size() == 1 ? std::strchr(letters, value[0]) : nullptr;
        if (!p) return false;
        dcb.Parity = static_cast<BYTE>(p - letters);
    } else if (key == "DATA") {
        if (value.size() != 1 || value[0] < '5' || value[0] > '8') return false;
        dcb.ByteSize = static_cast<BYTE>(value[0] - '0');
    } else if (key == "STOP") {
        if (value == "1")
            dcb.StopBits = ONESTOPBIT;
        else if (value == "1.5")
            dcb.StopBits = ONE5STOPBITS;
        else if (value == "2")
            dcb.StopBits = TWOSTOPBITS;
        else
            return false;
    } else if (key == "XON") {
        if (value != "ON" && value != "OFF") return false;
        dcb.fOutX = dcb.fInX = value == "ON";
    } else if (key == "OCTS") {
        if (value != "ON" && value != "OFF") return false;
        dcb.fOutxCtsFlow = value == "ON";
    } else if (key == "ODSR") {
        if (value != "ON" && value != "OFF") return false;
        dcb.fOutxDsrFlow = value == "ON";
    } else if (key == "IDSR") {
        if (value != "ON" && value != "OFF") return false;
        dcb.fDsrSensitivity = value == "ON";
    } else if (key == "DTR" || key == "RTS") {
        DWORD mode;
        if (value == "OFF")
            mode = 0;
        else if (value == "ON")
            mode = 1;
        else if (value == "HS")
            mode = 2;
        else if (value == "TG" && key == "RTS")
            mode = 3;
        else
            return false;
        if (key == "DTR")
            dcb.fDtrControl = mode;
        else
            dcb.fRtsControl = mode;
    } else if (key == "TO") {
        if (value != "ON" && value != "OFF") return false;
    } else {
        return false;
    }
    return true;
}

std::vector<std::string> split(const std::string &s, const char *separators) {
    std::vector<std::string> parts;
    std::string part;
    for (char c : s) {
        if (std::strchr(separators, c)) {
            parts.push_back(part);
            part.clear();
        } else if (c != ' ' && c != '\t') {
            part += c;
        }
    }
    parts.push_back(part);
    return parts;
}

std::vector<std::string> split_words(const std::string &s) {
    std::vector<std::string> words;
    size_t i = 0;
    while ((i = s.find_first_not_of(" \t", i)) != std::string::npos) {
        size_t end = s.find_first_of(" \t", i);
        words.push_back(s.substr(i, end - i));
        i = end;
    }
    return words;
}

// "baud,parity,data,stop[,x|p]" with the two-digit baud abbreviations of the old MODE command.
bool apply_positional(DCB &dcb, const std::string &text) {
    std::vector<std::string> f = split(text, ",");
    if (f.size() > 5 || f[0].empty()) return false;
    static const std::map<std::string, DWORD> abbreviations = {
        {"11", 110},  {"15", 150},  {"30", 300},  {"60", 600},  {"12", 1200},
        {"24", 2400}, {"48", 4800}, {"96", 9600}, {"19", 19200}};
    auto it = abbreviations.find(f[0]);
    DCB out = dcb;
    if (it != abbreviations.end()) {
        out.BaudRate = it->second;
    } else if (!apply_keyword(out, "BAUD", f[0])) {
        return false;
    }
    static const char *const keys[] = {"PARITY", "DATA", "STOP"};
    for (size_t i = 1; i < f.size() && i < 4; ++i)
        if (!f[i].empty() && !apply_keyword(out, keys[i - 1], f[i])) return false;
    if (f.size() == 5) {
        if (f[4] == "X") {
            out.fOutX = out.fInX = 1;
            out.fOutxCtsFlow = 0;
            out.fDtrControl = DTR_CONTROL_ENABLE;
            out.fRtsControl = RTS_CONTROL_ENABLE;
        } else if (f[4] == "P") {
            out.fOutX = out.fInX = 0;
            out.fOutxCtsFlow = out.fOutxDsrFlow = 1;
            out.fDtrControl = DTR_CONTROL_HANDSHAKE;
            out.fRtsControl = RTS_CONTROL_HANDSHAKE;
        } else {
            return false;
        }
    }
    dcb = out;
    return true;
}

} // namespace

// Reads "COMn:" (optional) and then either the positional or the keyword syntax. Only what the
// text names changes; a text it cannot read leaves the record untouched.
BOOL WINAPI BuildCommDCBA(LPCSTR def, LPDCB dcb) {
    if (enter("BuildCommDCBA", def ? quoted(def) : "null") || !def) return FALSE;
    std::string text = upper(def);
    if (text.rfind("COM", 0) == 0) {
        size_t colon = text.find(':');
        if (colon == std::string::npos) return FALSE;
        text = text.substr(colon + 1);
    }
    size_t start = text.find_first_not_of(" \t");
    text = start == std::string::npos ? "" : text.substr(start);
    if (text.empty()) return FALSE;
    if (text.find('=') == std::string::npos) return apply_positional(*dcb, text);
    DCB out = *dcb;
    for (const std::string &item : split_words(text)) {
        size_t eq = item.find('=');
        if (eq == std::string::npos || !apply_keyword(out, item.substr(0, eq), item.substr(eq + 1)))
            return FALSE;
    }
    *dcb = out;
    return TRUE;
}

BOOL WINAPI SetCommState(HANDLE h, LPDCB dcb) {
    Device *d = device_of(h);
    if (enter("SetCommState", handle_name(h)) || !d) return FALSE;
    bool valid = dcb->BaudRate != 0 && dcb->ByteSize >= 5 && dcb->ByteSize <= 8 &&
                 dcb->Parity <= SPACEPARITY && dcb->StopBits <= TWOSTOPBITS;
    if (!valid) return FALSE;
    d->dcb = *dcb;
    // A disabled control line is released by the driver when the settings take effect.
    if (dcb->fDtrControl == DTR_CONTROL_DISABLE) d->dtr = false;
    if (dcb->fRtsControl == RTS_CONTROL_DISABLE) d->rts = false;
    return TRUE;
}

BOOL WINAPI SetCommTimeouts(HANDLE h, LPCOMMTIMEOUTS t) {
    Device *d = device_of(h);
    std::string args =
        handle_name(h) + format(",%u,%u,%u,%u,%u", t->ReadIntervalTimeout,
                                t->ReadTotalTimeoutMultiplier, t->ReadTotalTimeoutConstant,
                                t->WriteTotalTimeoutMultiplier, t->WriteTotalTimeoutConstant);
    if (enter("SetCommTimeouts", args) || !d) return FALSE;
    d->timeouts = *t;
    return TRUE;
}

BOOL WINAPI SetupComm(HANDLE h, DWORD in_queue, DWORD out_queue) {
    Device *d = device_of(h);
    if (enter("SetupComm", handle_name(h) + format(",%u,%u", in_queue, out_queue)) || !d)
        return FALSE;
    d->in_queue_size = in_queue;
    d->out_queue_size = out_queue;
    return TRUE;
}

// Bytes that have arrived come at once; otherwise the read waits on the virtual clock for the
// next arrival or gives up when its total time-out passes.
BOOL WINAPI ReadFile(HANDLE h, LPVOID buffer, DWORD count, LPDWORD read, LPOVERLAPPED) {
    Device *d = device_of(h);
    if (enter("ReadFile", handle_name(h) + format(",%u", count)) || !d) return FALSE;
    if (take_short("ReadFile")) {
        *read = 0;
        return TRUE;
    }
    const COMMTIMEOUTS &t = d->timeouts;
    bool immediate = t.ReadIntervalTimeout == 0xffffffffu && t.ReadTotalTimeoutMultiplier == 0 &&
                     t.ReadTotalTimeoutConstant == 0;
    std::int64_t total_ms =
        std::int64_t(t.ReadTotalTimeoutMultiplier) * count + t.ReadTotalTimeoutConstant;
    bool forever = !immediate && total_ms == 0;
    std::int64_t deadline = g_state.now_ns + total_ms * 1000000;
    DWORD n = 0;
    auto *out = static_cast<unsigned char *>(buffer);
    while (n < count && !d->rx.empty()) {
        const Arrival &next = d->rx.front();
        if (next.at_ns > g_state.now_ns) {
            if (immediate || (!forever && next.at_ns > deadline)) break;
            g_state.now_ns = next.at_ns;
        }
        out[n++] = next.byte;
        d->rx.pop_front();
    }
    if (n < count) {
        if (forever)
            g_state.blocked_forever = true;
        else if (!immediate)
            g_state.now_ns = std::max(g_state.now_ns, deadline);
    }
    *read = n;
    return TRUE;
}

BOOL WINAPI WriteFile(HANDLE h, LPCVOID buffer, DWORD count, LPDWORD written, LPOVERLAPPED) {
    Device *d = device_of(h);
    const char *bytes = static_cast<const char *>(buffer);
    std::string data(bytes ? bytes : "", bytes ? count : 0);
    if (enter("WriteFile", handle_name(h) + "," + quoted(data)) || !d) return FALSE;
    if (take_short("WriteFile")) {
        *written = 0;
        return TRUE;
    }
    d->tx += data;
    *written = count;
    return TRUE;
}

BOOL WINAPI PurgeComm(HANDLE h, DWORD flags) {
    Device *d = device_of(h);
    if (enter("PurgeComm", handle_name(h) + format(",%u", flags)) || !d) return FALSE;
    if (flags & PURGE_TXCLEAR) {
        d->out_pending = 0;
        ++d->purges_tx;
    }
    if (flags & PURGE_RXCLEAR) {
        while (!d->rx.empty() && d->rx.front().at_ns <= g_state.now_ns)
            d->rx.pop_front();
        ++d->purges_rx;
    }
    return TRUE;
}

BOOL WINAPI ClearCommError(HANDLE h, LPDWORD errors, LPCOMSTAT stat) {
    Device *d = device_of(h);
    if (enter("ClearCommError", handle_name(h)) || !d) return FALSE;
    if (errors) *errors = d->errors;
    d->errors = 0;
    if (stat) {
        std::memset(stat, 0, sizeof *stat);
        stat->cbInQue = d->in_queue();
        stat->cbOutQue = d->out_pending;
    }
    return TRUE;
}

BOOL WINAPI EscapeCommFunction(HANDLE h, DWORD function) {
    Device *d = device_of(h);
    if (enter("EscapeCommFunction", handle_name(h) + format(",%u", function)) || !d) return FALSE;
    switch (function) {
    case SETDTR:
        d->dtr = true;
        break;
    case CLRDTR:
        d->dtr = false;
        break;
    case SETRTS:
        d->rts = true;
        break;
    case CLRRTS:
        d->rts = false;
        break;
    case SETBREAK:
        d->brk = true;
        break;
    case CLRBREAK:
        d->brk = false;
        break;
    case SETXON:
    case SETXOFF:
        break;
    default:
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI GetCommModemStatus(HANDLE h, LPDWORD status) {
    Device *d = device_of(h);
    if (enter("GetCommModemStatus", handle_name(h)) || !d) {
        if (g_state.modem_status_junk_on_failure) *status = 0xffffffffu;
        return FALSE;
    }
    *status = d->modem_status();
    return TRUE;
}

BOOL WINAPI QueryPerformanceFrequency(LARGE_INTEGER *frequency) {
    if (enter("QueryPerformanceFrequency", "")) return FALSE;
    frequency->QuadPart = g_state.frequency;
    return g_state.frequency != 0;
}

BOOL WINAPI QueryPerformanceCounter(LARGE_INTEGER *count) {
    g_state.now_ns += g_state.qpc_cost_ns;
    if (enter("QueryPerformanceCounter", "")) return FALSE;
    count->QuadPart = counter_now();
    return TRUE;
}

HANDLE WINAPI GetCurrentProcess(void) {
    enter("GetCurrentProcess", "");
    return process_handle();
}

BOOL WINAPI SetPriorityClass(HANDLE process, DWORD priority_class) {
    std::string args = (process == process_handle() ? std::string("self") : handle_name(process)) +
                       format(",%x", priority_class);
    if (enter("SetPriorityClass", args) || process != process_handle()) return FALSE;
    switch (priority_class) {
    case NORMAL_PRIORITY_CLASS:
    case IDLE_PRIORITY_CLASS:
    case HIGH_PRIORITY_CLASS:
    case REALTIME_PRIORITY_CLASS:
        g_state.priority_class = priority_class;
        return TRUE;
    default:
        return FALSE;
    }
}

DWORD WINAPI GetPriorityClass(HANDLE process) {
    if (enter("GetPriorityClass", "") || process != process_handle()) return 0;
    return g_state.priority_class;
}
