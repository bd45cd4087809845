// kxbench: the Windows side of `make bench`. Each command takes one sample of one figure, either
// through KALVEX.dll or through the platform call the library wraps, so that the native runner
// can interleave the two in rounds inside this one process and compare them fairly.
//
// Usage: kxbench.exe <path of KALVEX.dll>; one command per line on stdin, one answer per line
// on stdout: "ok key=value ..." (lists are comma-separated) or "error: ...".
#include "kalvex.h"

#include <windows.h>

#include <fcntl.h>
#include <inttypes.h>
#include <io.h>
#include <math.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

struct Library {
    HMODULE module;
    decltype(&OPENCOM) opencom;
    decltype(&TIMEOUTS) timeouts;
    decltype(&CLOSECOM) closecom;
    decltype(&READBYTE) readbyte;
    decltype(&SENDSTRING) sendstring;
    decltype(&READSTRING) readstring;
    decltype(&TIMEINIT) timeinit;
    decltype(&TIMEREAD) timeread;
    decltype(&DELAY) delay;
};

Library lib;
const char *dll_path;
double ns_per_tick;
int64_t ticks_per_second;
HANDLE line = INVALID_HANDLE_VALUE; // the platform's own handle on the measured line

const uint32_t FNV_BASIS = 2166136261u;
const uint32_t FNV_PRIME = 16777619u;
const DWORD TEXT_SIZE = 65536;
// Reads that time out one after another before a transfer counts as stopped (about 1 s).
const int QUIET_READS_LIMIT = 100;

volatile uint32_t int_sink;
volatile double double_sink;

int64_t counter() {
    LARGE_INTEGER v;
    QueryPerformanceCounter(&v);
    return v.QuadPart;
}

double ns_since(int64_t start) { return (double)(counter() - start) * ns_per_tick; }

template <typename T> bool resolve(T &fn, const char *name) {
    fn = reinterpret_cast<T>(reinterpret_cast<void *>(GetProcAddress(lib.module, name)));
    return fn != nullptr;
}

bool load_library() {
    lib.module = LoadLibraryA(dll_path);
    if (!lib.module) return false;
    bool ok = resolve(lib.opencom, "OPENCOM") && resolve(lib.timeouts, "TIMEOUTS") &&
              resolve(lib.closecom, "CLOSECOM") && resolve(lib.readbyte, "READBYTE") &&
              resolve(lib.sendstring, "SENDSTRING") && resolve(lib.readstring, "READSTRING") &&
              resolve(lib.timeinit, "TIMEINIT") && resolve(lib.timeread, "TIMEREAD") &&
              resolve(lib.delay, "DELAY");
    if (ok) lib.timeinit();
    return ok;
}

void unload_library() {
    if (lib.module) FreeLibrary(lib.module);
    lib = Library();
}

void reply_error(const char *format, ...) {
    va_list args;
    va_start(args, format);
    fputs("error: ", stdout);
    vfprintf(stdout, format, args);
    va_end(args);
    fputc('\n', stdout);
}

// The same platform calls and the same line discipline as OPENCOM, on a handle of our own.
HANDLE platform_open(const char *mode) {
    char device[16];
    size_t n = strcspn(mode, ":");
    if (n >= sizeof device) return INVALID_HANDLE_VALUE;
    memcpy(device, mode, n);
    device[n] = '\0';
    HANDLE h = CreateFileA(device, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (h == INVALID_HANDLE_VALUE) return h;
    DCB dcb;
    memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    GetCommState(h, &dcb);
    BuildCommDCBA(mode, &dcb);
    dcb.fBinary = 1;
    dcb.fParity = 0;
    dcb.fOutxCtsFlow = 0;
    dcb.fOutxDsrFlow = 0;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fDsrSensitivity = 0;
    dcb.fTXContinueOnXoff = 0;
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.fErrorChar = 0;
    dcb.fNull = 0;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    dcb.fAbortOnError = 0;
    SetCommState(h, &dcb);
    COMMTIMEOUTS timeouts = {1, 1, 10, 10, 10};
    SetCommTimeouts(h, &timeouts);
    return h;
}

int platform_read_byte() {
    unsigned char b = 0;
    DWORD got = 0;
    ReadFile(line, &b, 1, &got, NULL);
    return got == 1 ? b : -1;
}

DWORD queued_input() {
    DWORD errors = 0;
    COMSTAT stat;
    memset(&stat, 0, sizeof stat);
    ClearCommError(line, &errors, &stat);
    return stat.cbInQue;
}

// A transfer is timed from its first call, so it starts only once the peer's bytes are queued.
bool wait_for_input() {
    int64_t deadline = counter() + 10 * ticks_per_second;
    while (queued_input() == 0) {
        if (counter() > deadline) return false;
        Sleep(1);
    }
    return true;
}

// The same generator as the runner's: text bytes from 1 to 255, so that no NUL ends a text.
void make_text(char *text, DWORD size, uint32_t seed) {
    uint32_t x = seed;
    for (DWORD i = 0; i < size; ++i) {
        x = x * 1664525u + 1013904223u;
        text[i] = (char)(1 + (x >> 24) % 255);
    }
    text[size] = '\0';
}

void print_list(const char *key, const double *values, int n) {
    printf(" %s=", key);
    for (int i = 0; i < n; ++i)
        printf(i ? ",%.1f" : "%.1f", values[i]);
}

void print_ticks(const char *key, const int64_t *values, int n) {
    printf(" %s=", key);
    for (int i = 0; i < n; ++i)
        printf(i ? ",%" PRId64 : "%" PRId64, values[i]);
}

bool is_library(const char *side) { return strcmp(side, "lib") == 0; }

// ---------------------------------------------------------------------------------------------

void cmd_info() {
    printf("ok qpf=%" PRId64 " bits=%d\n", ticks_per_second, (int)(sizeof(void *) * 8));
}

// LoadLibrary to the return of the first call, each time on a library no longer mapped.
void cmd_load(int n) {
    unload_library();
    double *ns = (double *)calloc(n, sizeof(double));
    for (int i = 0; i < n; ++i) {
        int64_t t0 = counter();
        HMODULE h = LoadLibraryA(dll_path);
        decltype(&TIMEINIT) first = h ? reinterpret_cast<decltype(&TIMEINIT)>(
                                            reinterpret_cast<void *>(GetProcAddress(h, "TIMEINIT")))
                                      : nullptr;
        if (first) first();
        ns[i] = ns_since(t0);
        if (h) FreeLibrary(h);
        if (!first) {
            free(ns);
            reply_error("cannot load %s or find TIMEINIT (error %lu)", dll_path,
                        (unsigned long)GetLastError());
            load_library();
            return;
        }
    }
    if (!load_library()) {
        free(ns);
        reply_error("cannot load %s again", dll_path);
        return;
    }
    printf("ok");
    print_list("ns", ns, n);
    printf("\n");
    free(ns);
}

double counter_batch(int calls) {
    LARGE_INTEGER v;
    uint32_t acc = 0;
    int64_t t0 = counter();
    for (int i = 0; i < calls; ++i) {
        QueryPerformanceCounter(&v);
        acc ^= v.LowPart;
    }
    double ns = ns_since(t0);
    int_sink = acc;
    return ns / calls;
}

// TIMEREAD's own steps written here, to tell the cost of those steps from the cost of calling
// into the library: one counter read, a 64-bit subtraction, a conversion and a multiplication.
int64_t own_start;
double own_tick_ms;

__attribute__((noinline)) double own_read() {
    LARGE_INTEGER now;
    now.QuadPart = 0;
    QueryPerformanceCounter(&now);
    int64_t elapsed = (int64_t)((uint64_t)now.QuadPart - (uint64_t)own_start);
    return (double)elapsed * own_tick_ms;
}

// DELAY's loop on own_read, for the same purpose.
__attribute__((noinline)) void own_delay(double ms) {
    double t0 = own_read();
    while (t0 + ms > own_read()) {
    }
}

double own_batch(int calls) {
    double acc = 0;
    int64_t t0 = counter();
    for (int i = 0; i < calls; ++i)
        acc += own_read();
    double ns = ns_since(t0);
    double_sink = acc;
    return ns / calls;
}

double timeread_batch(int calls) {
    double acc = 0;
    int64_t t0 = counter();
    for (int i = 0; i < calls; ++i)
        acc += lib.timeread();
    double ns = ns_since(t0);
    double_sink = acc;
    return ns / calls;
}

// Short batches of TIMEREAD and of raw counter reads, alternately. A batch the scheduler did not
// interrupt shows the cost of the call itself, so each side reports its fastest batch.
void cmd_cost(int batches, int calls) {
    double fastest[3] = {1e300, 1e300, 1e300};
    for (int b = 0; b < batches; ++b) {
        for (int k = 0; k < 3; ++k) {
            int side = (b + k) % 3;
            double ns = side == 0   ? counter_batch(calls)
                        : side == 1 ? timeread_batch(calls)
                                    : own_batch(calls);
            if (ns < fastest[side]) fastest[side] = ns;
        }
    }
    printf("ok qpc=%.3f timeread=%.3f own=%.3f\n", fastest[0], fastest[1], fastest[2]);
}

// Whole duration of each call in counter ticks, as a host that times DELAY would see it. The
// platform side ("raw") is the same strict test written directly on the counter; "own" is
// DELAY's own steps written here.
void cmd_delay(const char *side, double ms, int n) {
    int64_t *ticks = (int64_t *)calloc(n, sizeof(int64_t));
    int64_t wanted = llround(ms * (double)ticks_per_second / 1000.0);
    bool library = is_library(side), own = strcmp(side, "own") == 0;
    for (int i = 0; i < n; ++i) {
        int64_t t0 = counter();
        if (library) {
            lib.delay(ms);
        } else if (own) {
            own_delay(ms);
        } else {
            int64_t target = counter() + wanted;
            while (counter() < target) {
            }
        }
        ticks[i] = counter() - t0;
    }
    printf("ok");
    print_ticks("ticks", ticks, n);
    printf("\n");
    free(ticks);
}

void cmd_open_cycles(const char *side, const char *mode, int n) {
    int opened = 0;
    bool library = is_library(side);
    int64_t t0 = counter();
    for (int i = 0; i < n; ++i) {
        if (library) {
            opened += lib.opencom(mode);
            lib.closecom();
        } else {
            HANDLE h = platform_open(mode);
            if (h != INVALID_HANDLE_VALUE) {
                ++opened;
                CloseHandle(h);
            }
        }
    }
    double ns = ns_since(t0);
    printf("ok ns=%.0f opened=%d\n", ns, opened);
}

void cmd_open(const char *mode) {
    int applied = lib.opencom(mode);
    if (line != INVALID_HANDLE_VALUE) CloseHandle(line);
    line = platform_open(mode);
    if (!applied || line == INVALID_HANDLE_VALUE) {
        reply_error("cannot open %s (library %d, platform error %lu)", mode, applied,
                    (unsigned long)GetLastError());
        return;
    }
    printf("ok\n");
}

void cmd_purge() {
    PurgeComm(line, PURGE_RXCLEAR | PURGE_TXCLEAR);
    printf("ok queued=%lu\n", (unsigned long)queued_input());
}

// The transfer commands alternate library and platform in chunks of one stream, so both read
// (or write) the same line under the same conditions; each chunk is timed on its own. The peer
// checks the stream as a whole: the hash covers every byte in the order it came.
struct Chunks {
    double *ns[2];
    int count[2];
    long bytes[2];
};

Chunks new_chunks(int n) {
    Chunks c;
    for (int side = 0; side < 2; ++side) {
        c.ns[side] = (double *)calloc(n, sizeof(double));
        c.count[side] = 0;
        c.bytes[side] = 0;
    }
    return c;
}

// Side 0 is the platform, side 1 the library.
void print_chunks(Chunks &c) {
    print_list("raw", c.ns[0], c.count[0]);
    print_list("lib", c.ns[1], c.count[1]);
    printf(" raw_bytes=%ld lib_bytes=%ld\n", c.bytes[0], c.bytes[1]);
    free(c.ns[0]);
    free(c.ns[1]);
}

// total bytes in chunks of chunk bytes, one READBYTE or one ReadFile per byte.
void cmd_read_bytes(long total, long chunk, int first_side) {
    if (!wait_for_input()) {
        reply_error("no input arrived");
        return;
    }
    Chunks c = new_chunks((int)(total / chunk) + 2);
    uint32_t hash = FNV_BASIS;
    long got = 0, gaps = 0;
    int quiet = 0;
    for (int k = 0; got < total && quiet <= QUIET_READS_LIMIT; ++k) {
        int side = (first_side + k) & 1;
        long target = got + chunk < total ? got + chunk : total, before = got;
        int64_t t0 = counter();
        while (got < target) {
            int b = side ? lib.readbyte() : platform_read_byte();
            if (b < 0) {
                ++gaps;
                if (++quiet > QUIET_READS_LIMIT) break;
                continue;
            }
            quiet = 0;
            hash = (hash ^ (uint32_t)b) * FNV_PRIME;
            ++got;
        }
        c.ns[side][c.count[side]++] = ns_since(t0);
        c.bytes[side] += got - before;
    }
    printf("ok bytes=%ld fnv=%08lx gaps=%ld", got, (unsigned long)hash, gaps);
    print_chunks(c);
}

// lines of line_length bytes (text and CR), chunk lines at a time: READSTRING, or a ReadFile of
// one byte up to the CR. The hash covers the text without the CRs, since a line cut by a pause
// loses its CR to the next call; splits counts such lines.
void cmd_read_lines(long lines, long chunk, long line_length, int first_side) {
    if (!wait_for_input()) {
        reply_error("no input arrived");
        return;
    }
    Chunks c = new_chunks((int)(lines / chunk) + 2);
    uint32_t hash = FNV_BASIS;
    long content = 0, done = 0, gaps = 0, splits = 0;
    long wanted = lines * (line_length - 1);
    int quiet = 0;
    for (int k = 0; content < wanted && quiet <= QUIET_READS_LIMIT; ++k) {
        int side = (first_side + k) & 1;
        long target = done + chunk < lines ? done + chunk : lines, before = content;
        int64_t t0 = counter();
        while (done < target && content < wanted) {
            long length = 0;
            if (side) {
                const char *text = lib.readstring();
                for (; text[length]; ++length)
                    hash = (hash ^ (unsigned char)text[length]) * FNV_PRIME;
            } else {
                for (int b; (b = platform_read_byte()) >= 0 && b != 13; ++length)
                    hash = (hash ^ (uint32_t)b) * FNV_PRIME;
            }
            if (length == 0) {
                ++gaps;
                if (++quiet > QUIET_READS_LIMIT) break;
                continue;
            }
            quiet = 0;
            splits += length != line_length - 1;
            content += length;
            ++done;
        }
        c.ns[side][c.count[side]++] = ns_since(t0);
        c.bytes[side] += content - before + (content - before) / (line_length - 1);
    }
    printf("ok bytes=%ld fnv=%08lx gaps=%ld splits=%ld", content, (unsigned long)hash, gaps,
           splits);
    print_chunks(c);
}

// count texts of 64 KiB, alternately SENDSTRING and one WriteFile of the 65536 bytes; text i
// comes from seed + i. SENDSTRING must find the text's length first, so the C runtime's strlen
// on the same text is timed too (its fastest of a few), to show that part of its cost.
void cmd_send(int count, uint32_t seed, int first_side) {
    static char text[TEXT_SIZE + 1];
    typedef size_t(__cdecl * Strlen)(const char *);
    static Strlen runtime_strlen = reinterpret_cast<Strlen>(
        reinterpret_cast<void *>(GetProcAddress(LoadLibraryA("msvcrt.dll"), "strlen")));
    Chunks c = new_chunks(count);
    unsigned long short_writes = 0;
    double strlen_ns = 1e300;
    for (int i = 0; i < count; ++i) {
        int side = (first_side + i) & 1;
        make_text(text, TEXT_SIZE, seed + (uint32_t)i);
        int64_t t0 = counter();
        if (side) {
            lib.sendstring(text);
        } else {
            DWORD written = 0;
            WriteFile(line, text, TEXT_SIZE, &written, NULL);
            short_writes += written != TEXT_SIZE;
        }
        c.ns[side][c.count[side]++] = ns_since(t0);
        c.bytes[side] += TEXT_SIZE;
        if (runtime_strlen) {
            t0 = counter();
            size_t n = runtime_strlen(text);
            double ns = ns_since(t0);
            int_sink = (uint32_t)n;
            if (ns < strlen_ns) strlen_ns = ns;
        }
    }
    printf("ok short_writes=%lu strlen=%.0f", short_writes, runtime_strlen ? strlen_ns : 0.0);
    print_chunks(c);
}

// One-byte reads on a silent line after TIMEOUTS(c), or the same COMMTIMEOUTS set directly.
void cmd_timeout(const char *side, int c, int n) {
    bool library = is_library(side);
    PurgeComm(line, PURGE_RXCLEAR);
    COMMTIMEOUTS wanted = {1, 1, (DWORD)c, 10, (DWORD)c};
    COMMTIMEOUTS opened = {1, 1, 10, 10, 10};
    if (library)
        lib.timeouts(c);
    else
        SetCommTimeouts(line, &wanted);
    double *ns = (double *)calloc(n, sizeof(double));
    int got = 0;
    for (int i = 0; i < n; ++i) {
        int64_t t0 = counter();
        int b = library ? lib.readbyte() : platform_read_byte();
        ns[i] = ns_since(t0);
        got += b >= 0;
    }
    if (library)
        lib.timeouts(10);
    else
        SetCommTimeouts(line, &opened);
    printf("ok got=%d", got);
    print_list("ns", ns, n);
    printf("\n");
    free(ns);
}

// ---------------------------------------------------------------------------------------------

bool run(char *command) {
    char *words[8] = {};
    int count = 0;
    for (char *w = strtok(command, " \t\r\n"); w && count < 8; w = strtok(nullptr, " \t\r\n"))
        words[count++] = w;
    if (count == 0) return true;
    const char *name = words[0];
    auto arg = [&](int i) { return i < count ? words[i] : ""; };
    auto integer = [&](int i) { return atol(arg(i)); };

    if (!strcmp(name, "quit")) return false;
    if (!strcmp(name, "info"))
        cmd_info();
    else if (!strcmp(name, "load"))
        cmd_load((int)integer(1));
    else if (!lib.module)
        reply_error("library not loaded");
    else if (!strcmp(name, "cost"))
        cmd_cost((int)integer(1), (int)integer(2));
    else if (!strcmp(name, "delay"))
        cmd_delay(arg(1), atof(arg(2)), (int)integer(3));
    else if (!strcmp(name, "opencycle"))
        cmd_open_cycles(arg(1), arg(2), (int)integer(3));
    else if (!strcmp(name, "open"))
        cmd_open(arg(1));
    else if (line == INVALID_HANDLE_VALUE)
        reply_error("no line open");
    else if (!strcmp(name, "purge"))
        cmd_purge();
    else if (!strcmp(name, "readbyte"))
        cmd_read_bytes(integer(1), integer(2), (int)integer(3));
    else if (!strcmp(name, "readstring"))
        cmd_read_lines(integer(1), integer(2), integer(3), (int)integer(4));
    else if (!strcmp(name, "send"))
        cmd_send((int)integer(1), (uint32_t)strtoul(arg(2), nullptr, 0), (int)integer(3));
    else if (!strcmp(name, "timeout"))
        cmd_timeout(arg(1), (int)integer(2), (int)integer(3));
    else
        reply_error("unknown command %s", name);
    return true;
}

} // namespace

int main(int argc, char **argv) {
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
    setvbuf(stdout, nullptr, _IOFBF, 1 << 16);
    if (argc != 2) {
        fputs("usage: kxbench <path of KALVEX.dll>\n", stderr);
        return 2;
    }
    dll_path = argv[1];
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    ticks_per_second = f.QuadPart;
    ns_per_tick = 1e9 / (double)ticks_per_second;
    own_tick_ms = 1000.0 / (double)ticks_per_second;
    own_start = counter();
    if (!load_library()) {
        fprintf(stderr, "kxbench: cannot load %s (error %lu)\n", dll_path,
                (unsigned long)GetLastError());
        return 1;
    }

    char command[1024];
    while (fgets(command, sizeof command, stdin)) {
        bool more = run(command);
        fflush(stdout);
        if (!more) break;
    }
    if (lib.module) lib.closecom();
    if (line != INVALID_HANDLE_VALUE) CloseHandle(line);
    unload_library();
    return 0;
}
