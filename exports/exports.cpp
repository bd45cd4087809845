// The 43 exported functions. The slot-1 family and its slot-2 twins come from one definition,
// so a twin is the same code on the other slot.
#include "kalvex.h"
#include "serial/port.h"
#include "timing/timing.h"

#define SLOT_FUNCTIONS(SUFFIX, PORT)                                                               \
    int KALVEX_API OPENCOM##SUFFIX(const char *mode) { return port_open(PORT, mode); }             \
    int KALVEX_API TIMEOUTS##SUFFIX(int c) { return port_set_timeouts(PORT, c); }                  \
    int KALVEX_API BUFFERSIZE##SUFFIX(int n) { return port_set_queue_sizes(PORT, n); }             \
    void KALVEX_API CLOSECOM##SUFFIX(void) { port_close(PORT); }                                   \
    int KALVEX_API SENDBYTE##SUFFIX(int b) { return port_send_byte(PORT, b); }                     \
    int KALVEX_API READBYTE##SUFFIX(void) { return port_read_byte(PORT); }                         \
    void KALVEX_API SENDSTRING##SUFFIX(const char *text) { port_send_text(PORT, text); }           \
    const char *KALVEX_API READSTRING##SUFFIX(void) { return port_read_line(PORT); }               \
    int KALVEX_API CLEARBUFFER##SUFFIX(void) { return port_clear(PORT); }                          \
    int KALVEX_API INBUFFER##SUFFIX(void) { return port_in_queue(PORT); }                          \
    int KALVEX_API OUTBUFFER##SUFFIX(void) { return port_out_queue(PORT); }                        \
    int KALVEX_API DTR##SUFFIX(int on) { return port_escape(PORT, on, SETDTR, CLRDTR); }           \
    int KALVEX_API RTS##SUFFIX(int on) { return port_escape(PORT, on, SETRTS, CLRRTS); }           \
    int KALVEX_API TXD##SUFFIX(int on) { return port_escape(PORT, on, SETBREAK, CLRBREAK); }       \
    int KALVEX_API CTS##SUFFIX(void) { return port_modem_status(PORT) & 1; }                       \
    int KALVEX_API DSR##SUFFIX(void) { return (port_modem_status(PORT) >> 1) & 1; }                \
    int KALVEX_API RI##SUFFIX(void) { return (port_modem_status(PORT) >> 2) & 1; }                 \
    int KALVEX_API DCD##SUFFIX(void) { return (port_modem_status(PORT) >> 3) & 1; }                \
    int KALVEX_API INPUTS##SUFFIX(void) { return port_modem_status(PORT); }

extern "C" {

SLOT_FUNCTIONS(, slot1)
SLOT_FUNCTIONS(2, slot2)

int KALVEX_API TIMEINIT(void) { return timing_init(); }
double KALVEX_API TIMEREAD(void) { return timing_read(); }
void KALVEX_API DELAY(double ms) { timing_delay(ms); }
int KALVEX_API REALTIME(void) { return timing_set_priority(REALTIME_PRIORITY_CLASS); }
int KALVEX_API NORMALTIME(void) { return timing_set_priority(NORMAL_PRIORITY_CLASS); }
}
