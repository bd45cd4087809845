#include "serial/port.h"

#include <stdlib.h>
#include <string.h>

static const int CR = 13;

// A byte counts as sent only if WriteFile says so and wrote it: a write that timed out has not
// sent it, whatever the flag says.
BOOL port_send_byte(Port &port, int byte) {
    unsigned char b = static_cast<unsigned char>(byte);
    DWORD written = 0;
    BOOL ok = WriteFile(port.handle, &b, 1, &written, NULL);
    return written == 1 ? ok : FALSE;
}

// The read count starts at 0 because a failed ReadFile leaves it unwritten.
int port_read_byte(Port &port) {
    unsigned char b = 0;
    DWORD read = 0;
    ReadFile(port.handle, &b, 1, &read, NULL);
    return read == 1 ? b : -1;
}

void port_send_text(Port &port, const char *text) {
    if (!text) text = "";
    DWORD written = 0;
    WriteFile(port.handle, text, static_cast<DWORD>(strlen(text)), &written, NULL);
}

// Room for one more byte and the NUL. On failure the line stays as it is.
static bool reserve_line(Port &port, DWORD length) {
    if (length + 2 <= port.line_capacity) return true;
    DWORD capacity = port.line_capacity ? port.line_capacity : 64;
    while (capacity < length + 2) {
        if (capacity > 0x7fffffffu) return false;
        capacity *= 2;
    }
    char *line = static_cast<char *>(realloc(port.line, capacity));
    if (!line) return false;
    port.line = line;
    port.line_capacity = capacity;
    return true;
}

// Space is made before each byte is read, so if memory runs out the line ends early and the rest
// stays in the driver's queue for the next call instead of being lost.
const char *port_read_line(Port &port) {
    DWORD length = 0;
    while (reserve_line(port, length)) {
        int b = port_read_byte(port);
        if (b < 0 || b == CR) break;
        port.line[length++] = static_cast<char>(b);
    }
    if (!port.line) return "";
    port.line[length] = '\0';
    return port.line;
}

BOOL port_clear(Port &port) {
    PurgeComm(port.handle, PURGE_TXCLEAR);
    return PurgeComm(port.handle, PURGE_RXCLEAR);
}

static bool queue_counts(Port &port, COMSTAT &stat) {
    memset(&stat, 0, sizeof stat);
    DWORD errors = 0;
    return ClearCommError(port.handle, &errors, &stat) != 0;
}

int port_in_queue(Port &port) {
    COMSTAT stat;
    return queue_counts(port, stat) ? static_cast<int>(stat.cbInQue) : 0;
}

int port_out_queue(Port &port) {
    COMSTAT stat;
    return queue_counts(port, stat) ? static_cast<int>(stat.cbOutQue) : 0;
}
