#include "serial/port.h"

// Any non-zero request, in all 32 bits, asserts the line.
BOOL port_escape(Port &port, int on, DWORD set, DWORD clear) {
    return EscapeCommFunction(port.handle, on != 0 ? set : clear);
}

// The four inputs as bits 0 to 3 (CTS, DSR, RI, DCD); no device reads as all inputs off. The
// word starts at 0 and a failed call counts as 0 as well: Wine running a 32-bit host beside
// wine64 fills the word with set bits when the handle is 0 or invalid.
int port_modem_status(Port &port) {
    DWORD status = 0;
    if (!GetCommModemStatus(port.handle, &status)) return 0;
    return static_cast<int>((status >> 4) & 15);
}
