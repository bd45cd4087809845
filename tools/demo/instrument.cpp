#include "instrument.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>

static const char IDENTITY[] = "KALVEX,SIM-100,0001,1.0";

Instrument::Instrument(kx::Pty &pty, kx::ModemLines &lines, int port)
    : pty_(pty), lines_(lines), port_(port), thread_([this] { run(); }) {}

Instrument::~Instrument() {
    stop_ = true;
    thread_.join();
}

std::vector<std::string> Instrument::take_events() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> out;
    out.swap(events_);
    return out;
}

void Instrument::note(const std::string &event) {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(event);
}

// Like a real instrument that reports ready on DSR and DCD while the host's DTR is up, and
// clears to send while RTS is up.
void Instrument::follow_modem_lines() {
    bool dtr = lines_.dtr(port_), rts = lines_.rts(port_);
    if (dtr == dtr_ && rts == rts_) return;
    if (dtr != dtr_)
        note(std::string("DTR ") +
             (dtr ? "up: instrument raises DSR and DCD" : "down: instrument drops DSR and DCD"));
    if (rts != rts_)
        note(std::string("RTS ") +
             (rts ? "up: instrument raises CTS" : "down: instrument drops CTS"));
    dtr_ = dtr;
    rts_ = rts;
    lines_.set_inputs(port_, (dtr ? TIOCM_DSR | TIOCM_CD : 0) | (rts ? TIOCM_CTS : 0));
}

void Instrument::answer(const std::string &command) {
    std::string reply;
    if (command == "*IDN?") {
        reply = IDENTITY;
    } else if (command == "MEAS?") {
        char value[32];
        std::snprintf(value, sizeof value, "%+.4fE+00", 21.5 + 0.0125 * (measurements_++ % 8));
        reply = value;
    } else {
        reply = "ERR unknown command";
    }
    if (!dtr_) {
        note("instrument ignores " + kx::quote(command + "\r") + ": DTR is down");
        return;
    }
    note("instrument -> host: " + kx::quote(reply + "\r"));
    pty_.write(reply + "\r");
}

void Instrument::run() {
    while (!stop_) {
        follow_modem_lines();
        pollfd p{pty_.master(), POLLIN, 0};
        if (poll(&p, 1, 1) <= 0 || !(p.revents & POLLIN)) continue;
        char buf[256];
        ssize_t n = read(pty_.master(), buf, sizeof buf);
        if (n <= 0) continue;
        std::string bytes(buf, static_cast<size_t>(n));
        note("host -> instrument: " + kx::quote(bytes));
        pending_ += bytes;
        size_t cr;
        while ((cr = pending_.find('\r')) != std::string::npos) {
            std::string command = pending_.substr(0, cr);
            pending_.erase(0, cr + 1);
            follow_modem_lines();
            answer(command);
        }
    }
}
