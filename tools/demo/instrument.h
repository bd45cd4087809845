// A simulated instrument on the master side of a pseudo-terminal: it answers a few text
// commands ended by CR, and raises DSR, DCD and CTS while the host holds DTR and RTS up.
#pragma once

#include "harness.h"

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class Instrument {
  public:
    Instrument(kx::Pty &pty, kx::ModemLines &lines, int port);
    ~Instrument();
    Instrument(const Instrument &) = delete;
    Instrument &operator=(const Instrument &) = delete;

    // What happened on the line since the last call, one readable entry each.
    std::vector<std::string> take_events();

  private:
    void run();
    void follow_modem_lines();
    void answer(const std::string &command);
    void note(const std::string &event);

    kx::Pty &pty_;
    kx::ModemLines &lines_;
    int port_;
    bool dtr_ = false, rts_ = false;
    unsigned measurements_ = 0;
    std::string pending_;
    std::mutex mutex_;
    std::vector<std::string> events_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};
