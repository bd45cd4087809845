#include "serial/port.h"

// Any non-zero request, in all 32 bits, asserts the line.
BOOL port_escape(Port &port, int on, DWORD set, DWORD clear) {
    return EscapeCommFunction(port.handle, on != 0 ? set : clear);
}

// The four inputs as bits 0 to 3 (CTS, DSR, RI, DCD). The status word starts at 0 because a
// failed GetCommModemStatus leaves it unwritten: no device reads as all inputs off.
int port_modem_status(Port &port) {
    DWORD status = 0;
    GetCommModemStatus(port.handle, &status);
    return static_cast<int>((status >> 4) & 15);
}
