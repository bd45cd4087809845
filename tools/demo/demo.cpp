// The typical exchange with an instrument, through the real KALVEX.dll under Wine: kalvexsh
// makes each call, a simulated instrument answers on a virtual serial line, and the transcript
// shows every call, its result, the bytes on the line and the timings.
#include "harness.h"
#include "instrument.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

namespace {

struct Step {
    std::string call;
    const char *why;
    int settle_ms = 0; // time the instrument gets to react before its events are shown
};

void print_events(Instrument &instrument, int settle_ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(settle_ms));
    for (const std::string &event : instrument.take_events())
        std::printf("      | %s\n", event.c_str());
}

int run() {
    std::printf("Preparing Wine and a virtual serial line...\n");
    kx::ensure_wine();
    kx::Pty pty;
    kx::ComPort port(pty);
    kx::ModemLines lines;
    int line = lines.attach(pty);
    Instrument instrument(pty, lines, line);
    kx::HostOptions options;
    options.modem = &lines;
    kx::Host host(options);

    std::printf("Instrument on %s (pty %s); host: kalvexsh.exe with %s\n\n", port.name().c_str(),
                pty.slave_path().c_str(), kx::dll_file().c_str());

    const std::string mode = port.name() + ":9600,N,8,1";
    const Step steps[] = {
        {"OPENCOM \"" + mode + "\"",
         "open the port: 9600 baud, no parity, 8 data bits, 1 stop bit"},
        {"DSR", "the open leaves DTR off, so the instrument is not ready yet"},
        {"DTR 1", "raise DTR", 20},
        {"RTS 1", "raise RTS", 20},
        {"INPUTS", "CTS 1 + DSR 2 + DCD 8: the instrument answered both"},
        {"CLEARBUFFER", "drop anything stale"},
        {"TIMEINIT", "start the stopwatch; the exchange runs without pauses"},
        {"SENDSTRING \"*IDN?\\r\"", "ask for the identity"},
        {"READSTRING", "read the answer line"},
        {"TIMEREAD", "round trip of the identity query, ms"},
        {"TIMEINIT", "restart the stopwatch"},
        {"SENDSTRING \"MEAS?\\r\"", "ask for a measurement"},
        {"READSTRING", "read the value"},
        {"TIMEREAD", "round trip of the measurement, ms"},
        {"DELAY 25", "pace the next command by 25 ms (busy wait)"},
        {"TIMEREAD", "stopwatch after the delay, ms"},
        {"READSTRING", "nothing more comes: an empty line after the 11 ms time-out"},
        {"CLOSECOM", "release the port", 20},
    };
    for (const Step &step : steps) {
        std::printf("  %-28s ; %s\n", step.call.c_str(), step.why);
        double start = kx::now_ms();
        for (const std::string &out : host.send(step.call))
            std::printf("    %s\n", out.c_str());
        std::printf("      (%.1f ms through the host)\n", kx::now_ms() - start);
        print_events(instrument, step.settle_ms);
    }
    host.finish();
    kx::stop_wine();
    std::printf("\nDone: the port is closed and Wine is stopped.\n");
    return 0;
}

} // namespace

int main() {
    try {
        return run();
    } catch (const std::exception &e) {
        std::fprintf(stderr, "demo failed: %s\n", e.what());
        return 1;
    }
}
