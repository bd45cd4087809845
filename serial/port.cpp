#include "serial/port.h"

#include <stdlib.h>
#include <string.h>

Port slot1;
Port slot2;

static const DWORD OPEN_TIMEOUT_CONSTANT = 10;

static bool is_digit(char c) { return c >= '0' && c <= '9'; }

static bool is_com_prefix(const char *s) {
    return (s[0] == 'C' || s[0] == 'c') && (s[1] == 'O' || s[1] == 'o') &&
           (s[2] == 'M' || s[2] == 'm');
}

// "COM" and all its digits, so that COM12 names COM12 and not COM1; any other text names the
// device by its first four characters. Names of two digits or more go through the \\.\ device
// namespace: CreateFileA finds only COM1 to COM9 without it, and a plain "COM01" would be a file.
void device_name(const char *mode, char (&name)[DEVICE_NAME_SIZE]) {
    size_t digits = 0;
    if (is_com_prefix(mode))
        while (is_digit(mode[3 + digits]))
            ++digits;
    if (digits == 0) {
        size_t n = strnlen(mode, 4);
        memcpy(name, mode, n);
        name[n] = '\0';
        return;
    }
    const char *prefix = digits > 1 ? "\\\\.\\" : "";
    size_t prefix_len = strlen(prefix);
    if (prefix_len + 3 + digits >= DEVICE_NAME_SIZE) {
        // No device has a name this long; an empty name makes the open fail as for a missing one.
        name[0] = '\0';
        return;
    }
    memcpy(name, prefix, prefix_len);
    memcpy(name + prefix_len, mode, 3 + digits);
    name[prefix_len + 3 + digits] = '\0';
}

// Every flag spelled out, because the whole flags word must end up exactly 1: binary mode, no
// parity check, no flow control of any kind, DTR and RTS held off until the host sets them.
static void set_line_discipline(DCB &dcb) {
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
    dcb.fDummy2 = 0;
}

static BOOL apply_timeouts(HANDLE handle, DWORD constant) {
    COMMTIMEOUTS timeouts = {1, 1, constant, 10, constant};
    return SetCommTimeouts(handle, &timeouts);
}

int port_open(Port &port, const char *mode) {
    if (!mode) mode = "";
    port_close(port);

    char name[DEVICE_NAME_SIZE];
    device_name(mode, name);
    port.handle = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);

    // A failed GetCommState leaves the record as it is, so start from zeros rather than garbage.
    DCB dcb;
    memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    GetCommState(port.handle, &dcb);
    BuildCommDCBA(mode, &dcb);
    set_line_discipline(dcb);
    int applied = SetCommState(port.handle, &dcb) ? 1 : 0;
    apply_timeouts(port.handle, OPEN_TIMEOUT_CONSTANT);
    return applied;
}

BOOL port_set_timeouts(Port &port, int constant) {
    return apply_timeouts(port.handle, static_cast<DWORD>(constant));
}

BOOL port_set_queue_sizes(Port &port, int size) {
    return SetupComm(port.handle, static_cast<DWORD>(size), static_cast<DWORD>(size));
}

// Never hands 0 or INVALID_HANDLE_VALUE to CloseHandle: under a debugger that raises an
// exception in the host. The slot is empty afterwards either way.
void port_close(Port &port) {
    if (port.handle != 0 && port.handle != INVALID_HANDLE_VALUE) CloseHandle(port.handle);
    port.handle = 0;
}

// Closes the slot and frees its line storage: the library is being unloaded.
void port_release(Port &port) {
    port_close(port);
    free(port.line);
    port.line = NULL;
    port.line_capacity = 0;
}
