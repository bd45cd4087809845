// kx_duplex DLL COM_A COM_B BYTES: opens COM_A in slot 1 and COM_B in slot 2, prints "opened A B"
// with the two results and waits for a line on its input (the peer starts sending only once the
// lines are in raw mode). Then one thread per slot sends BYTES bytes through SENDSTRING and
// receives BYTES through READBYTE on its own port at the same time, checking what it received
// against the stream the peer sends on that line; the peer checks the other way. Prints one line
// per slot, then "done".
#include "kalvex.h"

#include "duplex_stream.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

typedef int(KALVEX_API *OpenFn)(const char *);
typedef int(KALVEX_API *IntFn)(int);
typedef int(KALVEX_API *VoidIntFn)(void);
typedef void(KALVEX_API *TextFn)(const char *);
typedef void(KALVEX_API *CloseFn)(void);

const DWORD CHUNK = 4096;
const DWORD DEADLINE_MS = 120000;

struct Slot {
    int number;
    const char *port;
    unsigned long bytes;
    OpenFn open;
    IntFn timeouts;
    VoidIntFn read_byte;
    TextFn send_string;
    CloseFn close;
    // Results.
    int opened;
    unsigned long sent, received, mismatches;
    long first_mismatch;
    bool timed_out;
};

DWORD WINAPI stream(LPVOID arg) {
    Slot &s = *(Slot *)arg;
    KxStream out(kx_seed_to_peer(s.number), true), in(kx_seed_from_peer(s.number), false);
    char chunk[CHUNK + 1];
    DWORD start = GetTickCount();
    while (s.sent < s.bytes || s.received < s.bytes) {
        if (GetTickCount() - start > DEADLINE_MS) {
            s.timed_out = true;
            break;
        }
        if (s.sent < s.bytes) {
            DWORD n = s.bytes - s.sent < CHUNK ? s.bytes - s.sent : CHUNK;
            for (DWORD i = 0; i < n; ++i)
                chunk[i] = (char)out.next();
            chunk[n] = '\0';
            s.send_string(chunk);
            s.sent += n;
        }
        for (DWORD i = 0; i < CHUNK && s.received < s.bytes; ++i) {
            int b = s.read_byte();
            if (b < 0) break;
            if ((unsigned char)b != in.next()) {
                if (s.mismatches++ == 0) s.first_mismatch = (long)s.received;
            }
            ++s.received;
        }
    }
    s.close();
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 5) {
        fputs("usage: kx_duplex DLL COM_A COM_B BYTES\n", stderr);
        return 2;
    }
    _setmode(_fileno(stdout), _O_BINARY);
    HMODULE dll = LoadLibraryA(argv[1]);
    if (!dll) {
        printf("error: cannot load %s\n", argv[1]);
        return 1;
    }
    unsigned long bytes = strtoul(argv[4], nullptr, 0);
    Slot slots[2];
    memset(slots, 0, sizeof slots);
    const char *suffix[2] = {"", "2"};
    for (int k = 0; k < 2; ++k) {
        Slot &s = slots[k];
        s.number = k + 1;
        s.port = argv[2 + k];
        s.bytes = bytes;
        s.first_mismatch = -1;
        char name[32];
#define KX_RESOLVE(field, type, base)                                                              \
    snprintf(name, sizeof name, "%s%s", base, suffix[k]);                                          \
    s.field = (type)(void *)GetProcAddress(dll, name);                                             \
    if (!s.field) {                                                                                \
        printf("error: no export %s\n", name);                                                     \
        return 1;                                                                                  \
    }
        KX_RESOLVE(open, OpenFn, "OPENCOM")
        KX_RESOLVE(timeouts, IntFn, "TIMEOUTS")
        KX_RESOLVE(read_byte, VoidIntFn, "READBYTE")
        KX_RESOLVE(send_string, TextFn, "SENDSTRING")
        KX_RESOLVE(close, CloseFn, "CLOSECOM")
#undef KX_RESOLVE
    }
    for (int k = 0; k < 2; ++k) {
        Slot &s = slots[k];
        char mode[64];
        snprintf(mode, sizeof mode, "%s:115200,N,8,1", s.port);
        s.opened = s.open(mode);
        // An idle read gives up after 2 ms, so the thread goes back to sending soon.
        s.timeouts(1);
    }
    printf("opened %d %d\n", slots[0].opened, slots[1].opened);
    fflush(stdout);
    char go[16];
    if (!fgets(go, sizeof go, stdin)) return 1;

    HANDLE threads[2];
    for (int k = 0; k < 2; ++k)
        threads[k] = CreateThread(nullptr, 0, stream, &slots[k], 0, nullptr);
    WaitForMultipleObjects(2, threads, TRUE, INFINITE);
    for (int k = 0; k < 2; ++k) {
        CloseHandle(threads[k]);
        const Slot &s = slots[k];
        printf("slot%d sent=%lu received=%lu mismatches=%lu first_mismatch=%ld%s\n", s.number,
               s.sent, s.received, s.mismatches, s.first_mismatch, s.timed_out ? " timed_out" : "");
    }
    printf("done\n");
    fflush(stdout);
    return 0;
}
