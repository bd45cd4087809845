// A port slot and the serial functions that work on one. Each exported function of the slot-1
// family and its slot-2 twin call the same function here with their own slot.
#pragma once

#include <windows.h>

struct Port {
    HANDLE handle; // 0 when empty, INVALID_HANDLE_VALUE after a failed open
    char *line;    // READSTRING's storage, grown as needed
    DWORD line_capacity;
};

extern Port slot1;
extern Port slot2;

// Open and configure (port.cpp).
int port_open(Port &port, const char *mode);
BOOL port_set_timeouts(Port &port, int constant);
BOOL port_set_queue_sizes(Port &port, int size);
void port_close(Port &port);
void port_release(Port &port);

// Device name derivation, exposed for the tests.
enum { DEVICE_NAME_SIZE = MAX_PATH };
void device_name(const char *mode, char (&name)[DEVICE_NAME_SIZE]);

// Transfer and queues (transfer.cpp).
BOOL port_send_byte(Port &port, int byte);
int port_read_byte(Port &port);
void port_send_text(Port &port, const char *text);
const char *port_read_line(Port &port);
BOOL port_clear(Port &port);
int port_in_queue(Port &port);
int port_out_queue(Port &port);

// Modem lines (modem.cpp).
BOOL port_escape(Port &port, int on, DWORD set, DWORD clear);
int port_modem_status(Port &port);
