// End-to-end harness: a Wine prefix shared by the whole run, pseudo-terminals linked as COM
// ports, emulated modem lines, and kalvexsh (or another Windows host) driven over pipes.
// Every wait is bounded; a host that does not answer in time is killed and the call throws.
#pragma once

#include "modem_state.h"

#include <sys/types.h>
#include <termios.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace kx {

// Paths fixed when the build was configured. KX_E2E_ARCH (x86, the default, or x64) picks the
// build of the library, kalvexsh and the test hosts.
std::string prefix_dir();
std::string arch();
std::string windows_build_dir();
std::string kalvexsh_exe();
std::string dll_file();
std::string windows_host(const std::string &name); // a test-only host from tests/wine
std::string windows_path(const std::string &unix_path);

// Creates the prefix if needed and keeps one wineserver for it; safe from parallel processes.
void ensure_wine();
// Stops the server unless another process still runs hosts; false when it was left running.
bool stop_wine();

struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

double now_ms();

class Pty {
  public:
    Pty();
    ~Pty();
    Pty(const Pty &) = delete;
    Pty &operator=(const Pty &) = delete;

    int master() const { return master_; }
    const std::string &slave_path() const { return slave_path_; }
    dev_t rdev() const { return rdev_; }
    termios settings() const;

    // Throws after timeout_ms, or as soon as *cancel turns true.
    void write(const std::string &bytes, int timeout_ms = 10000,
               const std::atomic<bool> *cancel = nullptr);
    // Exactly n bytes, or throws after timeout_ms with what had come.
    std::string read_exact(size_t n, int timeout_ms = 10000);
    // Whatever arrives until the line has been quiet for quiet_ms.
    std::string read_quiet(int quiet_ms);
    // Drops our own slave descriptor, so the master sees a hang-up once Wine lets go too.
    void close_slave();
    // True when the master reports a hang-up within timeout_ms.
    bool hung_up(int timeout_ms);
    // Closes the master, as a peer that hangs up: the line is gone for whoever holds the slave.
    void close_master();

  private:
    int master_ = -1;
    int slave_ = -1;
    std::string slave_path_;
    dev_t rdev_ = 0;
};

// Writes bytes to a pty master from a thread, for transfers larger than the pty buffers.
class Feeder {
  public:
    Feeder(Pty &pty, std::string bytes, int timeout_ms);
    ~Feeder();
    // Waits up to wait_ms for the writer to finish and stops it after that; false unless every
    // byte was taken.
    bool finish(int wait_ms);

  private:
    std::atomic<bool> ok_{false};
    std::atomic<bool> done_{false};
    std::atomic<bool> cancel_{false};
    std::thread thread_;
};

// A COM number claimed for this process and linked to a pty slave in dosdevices.
class ComPort {
  public:
    // Claims the first free number in [first, last] (1 to 4 are left to Wine's own devices).
    ComPort(const Pty &pty, int first = 5, int last = 9);
    ~ComPort();
    ComPort(const ComPort &) = delete;
    ComPort &operator=(const ComPort &) = delete;
    int number() const { return number_; }
    std::string name() const { return "COM" + std::to_string(number_); }

  private:
    int number_ = 0;
    int lock_ = -1;
    std::string link_;
};

// The shared file read by the modem-line preload library.
class ModemLines {
  public:
    ModemLines();
    ~ModemLines();
    ModemLines(const ModemLines &) = delete;
    ModemLines &operator=(const ModemLines &) = delete;

    // Emulates modem lines on pty; returns the entry index used.
    int attach(const Pty &pty);
    const std::string &file() const { return path_; }

    unsigned outputs(int port) const;
    bool dtr(int port) const;
    bool rts(int port) const;
    bool breaking(int port) const;
    unsigned line_ioctls(int port) const;
    void set_outputs(int port, unsigned tiocm_bits);
    void set_inputs(int port, unsigned tiocm_bits);
    void set_loopback(int port, bool on);
    unsigned loads32() const;

  private:
    std::string path_;
    kx_modem_state *state_ = nullptr;
};

struct HostOptions {
    std::string exe;               // default: kalvexsh.exe in dist/x86
    std::vector<std::string> args; // after the exe
    const ModemLines *modem = nullptr;
};

// A Windows console program under Wine whose stdin and stdout are pipes to the test.
class Host {
  public:
    explicit Host(HostOptions options = {});
    ~Host();
    Host(const Host &) = delete;
    Host &operator=(const Host &) = delete;

    // Sends one line and returns the lines printed for it: detail lines (indented) and
    // `finals` result lines.
    std::vector<std::string> send(const std::string &line, int finals = 1, int timeout_ms = 20000);
    // The result after " -> " of a call; throws on "error: ..." lines.
    std::string result(const std::string &line, int timeout_ms = 20000);
    int integer(const std::string &line, int timeout_ms = 20000);
    double number(const std::string &line, int timeout_ms = 20000);
    std::string text(const std::string &line, int timeout_ms = 20000);
    // Runs line under "!time" and returns the milliseconds the call took inside the host;
    // the call's own result goes to call_result when given.
    double timed(const std::string &line, std::string *call_result = nullptr,
                 int timeout_ms = 20000);
    // Reads lines printed without being asked (e.g. by a host that runs on its own).
    std::string read_line(int timeout_ms = 20000);
    // Closes stdin and waits for the exit status; -1 if it had to be killed.
    int finish(int timeout_ms = 20000);
    pid_t pid() const { return pid_; }
    std::string diagnostics() const;

  private:
    pid_t pid_ = -1;
    int in_ = -1;
    int out_ = -1;
    std::string pending_;
    std::string err_file_;
    [[noreturn]] void fail(const std::string &what);
};

// The name suffixes of the two slots' functions: OPENCOM, OPENCOM2.
inline const char *const SLOTS[] = {"", "2"};

// The kalvexsh line that opens port in the slot with this suffix, e.g. OPENCOM2 "COM5:9600,N,8,1".
std::string open_call(const std::string &slot, const ComPort &port,
                      const std::string &settings = "9600,N,8,1");

// Text in kalvexsh's quoted form, with every byte outside printable ASCII as \xNN.
std::string quote(const std::string &bytes);
// The bytes of a quoted result such as "AB\r\n".
std::string unquote(const std::string &quoted);
uint32_t fnv1a(const std::string &bytes);
std::string random_bytes(size_t n, uint32_t seed);

// Processes other than this one that hold path open.
std::vector<pid_t> holders_of(const std::string &path);

} // namespace kx
