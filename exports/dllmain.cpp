#include "serial/port.h"
#include "timing/timing.h"

// Attach makes no platform call: it only starts from empty slots and the initial stopwatch.
// Detach closes both slots, so no device stays claimed after the library is gone; the priority
// class and the stopwatch are left as they are.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        slot1 = Port();
        slot2 = Port();
        timing_reset();
    } else if (reason == DLL_PROCESS_DETACH) {
        port_release(slot1);
        port_release(slot2);
    }
    return TRUE;
}
