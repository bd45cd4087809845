/* The same exchange with the DLL loaded at run time, as hosts without an import library do.
 * Usage: dynamic_load [COMn] [path\to\KALVEX.dll] */
#include <stdio.h>
#include <windows.h>

typedef int(__stdcall *open_fn)(const char *);
typedef void(__stdcall *void_fn)(void);
typedef int(__stdcall *int_fn)(int);
typedef void(__stdcall *send_fn)(const char *);
typedef const char *(__stdcall *read_fn)(void);
typedef int(__stdcall *init_fn)(void);
typedef double(__stdcall *time_fn)(void);

static FARPROC need(HMODULE dll, const char *name) {
    FARPROC f = GetProcAddress(dll, name);
    if (!f) {
        fprintf(stderr, "KALVEX.dll has no %s\n", name);
        ExitProcess(3);
    }
    return f;
}

int main(int argc, char **argv) {
    HMODULE dll = LoadLibraryA(argc > 2 ? argv[2] : "KALVEX.dll");
    if (!dll) {
        fprintf(stderr, "cannot load KALVEX.dll (error %lu)\n", GetLastError());
        return 3;
    }
    /* Casting through void (*)(void) keeps -Wcast-function-type quiet for FARPROC. */
    open_fn opencom = (open_fn)(void (*)(void))need(dll, "OPENCOM");
    void_fn closecom = (void_fn)(void (*)(void))need(dll, "CLOSECOM");
    int_fn dtr = (int_fn)(void (*)(void))need(dll, "DTR");
    int_fn rts = (int_fn)(void (*)(void))need(dll, "RTS");
    init_fn clearbuffer = (init_fn)(void (*)(void))need(dll, "CLEARBUFFER");
    send_fn sendstring = (send_fn)(void (*)(void))need(dll, "SENDSTRING");
    read_fn readstring = (read_fn)(void (*)(void))need(dll, "READSTRING");
    init_fn timeinit = (init_fn)(void (*)(void))need(dll, "TIMEINIT");
    time_fn timeread = (time_fn)(void (*)(void))need(dll, "TIMEREAD");

    char mode[64];
    snprintf(mode, sizeof mode, "%s:9600,N,8,1", argc > 1 ? argv[1] : "COM1");
    int status = 1;
    if (opencom(mode)) {
        dtr(1);
        rts(1);
        clearbuffer();
        timeinit();
        sendstring("*IDN?\r");
        const char *line = readstring();
        printf("identity: %s (%.3f ms)\n", *line ? line : "(no answer)", timeread());
        status = *line ? 0 : 2;
    } else {
        fprintf(stderr, "cannot open %s\n", mode);
    }
    closecom();
    FreeLibrary(dll);
    return status;
}
