#include "harness.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>

extern char **environ;

namespace kx {

namespace {

std::string binary_dir() { return KX_BINARY_DIR; }

std::string errno_text(const std::string &what) { return what + ": " + std::strerror(errno); }

bool exists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// The environment every Wine process of the run gets: one prefix, quiet, no browser or .NET
// installers, and none of the caller's preloads.
std::vector<std::string> wine_environment(const std::vector<std::string> &extra) {
    std::vector<std::string> env;
    for (char **e = environ; *e; ++e) {
        std::string v = *e;
        if (v.rfind("WINE", 0) == 0 || v.rfind("LD_PRELOAD=", 0) == 0 ||
            v.rfind("DISPLAY=", 0) == 0 || v.rfind(KX_MODEM_STATE_ENV "=", 0) == 0)
            continue;
        env.push_back(v);
    }
    env.push_back("WINEPREFIX=" + prefix_dir());
    env.push_back("WINEARCH=win64");
    env.push_back("WINEDEBUG=-all");
    env.push_back("WINEDLLOVERRIDES=mscoree,mshtml=");
    env.insert(env.end(), extra.begin(), extra.end());
    return env;
}

std::string find_program(const std::string &name) {
    const char *path = getenv("PATH");
    std::stringstream dirs(path ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    throw Failure(name + " not found on PATH (run tools/install-deps.sh)");
}

// Starts argv with the given descriptors as stdin/stdout/stderr and nothing else inherited.
pid_t spawn(const std::vector<std::string> &argv, const std::vector<std::string> &env, int in,
            int out, int err, bool die_with_parent) {
    std::string program = find_program(argv[0]);
    std::vector<char *> args, envp;
    for (auto &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    for (auto &e : env)
        envp.push_back(const_cast<char *>(e.c_str()));
    envp.push_back(nullptr);
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid < 0) throw Failure(errno_text("fork"));
    if (pid == 0) {
        if (die_with_parent) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (getppid() != parent) _exit(127);
        }
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        close_range(3, ~0U, 0);
        signal(SIGPIPE, SIG_DFL);
        execve(program.c_str(), args.data(), envp.data());
        _exit(127);
    }
    return pid;
}

// Exit status of pid, or -1 after killing it when it outlives timeout_ms.
int wait_for(pid_t pid, int timeout_ms) {
    double deadline = now_ms() + timeout_ms;
    for (;;) {
        int status;
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (r < 0) return -1;
        if (now_ms() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        usleep(5000);
    }
}

int run_logged(const std::vector<std::string> &argv, int timeout_ms, bool quiet = false) {
    std::string log = quiet ? "/dev/null" : binary_dir() + "/wine-setup.log";
    int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (fd < 0 || null < 0) throw Failure(errno_text("open " + log));
    pid_t pid = spawn(argv, wine_environment({}), null, fd, fd, false);
    close(fd);
    close(null);
    return wait_for(pid, timeout_ms);
}

class FileLock {
  public:
    FileLock(const std::string &path, int timeout_ms) {
        fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd_ < 0) throw Failure(errno_text("open " + path));
        double deadline = now_ms() + timeout_ms;
        while (flock(fd_, LOCK_EX | LOCK_NB) != 0) {
            if (now_ms() > deadline) {
                close(fd_);
                throw Failure("timed out waiting for lock " + path);
            }
            usleep(20000);
        }
    }
    ~FileLock() { close(fd_); }

  private:
    int fd_;
};

} // namespace

// A 64-bit prefix, so that one prefix runs the 32-bit and the 64-bit builds alike.
std::string prefix_dir() { return binary_dir() + "/wineprefix64"; }
std::string arch() {
    const char *a = getenv("KX_E2E_ARCH");
    return a && *a ? a : "x86";
}
std::string windows_build_dir() {
    return std::string(KX_SOURCE_DIR) + (arch() == "x64" ? "/build/win64" : "/build/win32");
}
std::string kalvexsh_exe() {
    return std::string(KX_SOURCE_DIR) + "/dist/" + arch() + "/kalvexsh.exe";
}
// KX_E2E_DLL runs the suite against another build of the library.
std::string dll_file() {
    const char *other = getenv("KX_E2E_DLL");
    return other && *other ? other : std::string(KX_SOURCE_DIR) + "/dist/" + arch() + "/KALVEX.dll";
}
std::string windows_host(const std::string &name) {
    return windows_build_dir() + "/tests/wine/" + name;
}

std::string windows_path(const std::string &unix_path) {
    std::string p = "Z:" + unix_path;
    for (char &c : p)
        if (c == '/') c = '\\';
    return p;
}

double now_ms() {
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

// Every process that runs hosts holds this shared, for its whole life, so that a cleanup from
// another run in the same build tree does not stop the server under it.
std::string users_lock() { return prefix_dir() + ".users"; }
int users_fd = -1;
bool wine_ready = false;

void ensure_wine() {
    if (wine_ready) return;
    std::string prefix = prefix_dir();
    mkdir(prefix.c_str(), 0755);
    if (users_fd < 0) users_fd = open(users_lock().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (users_fd < 0 || flock(users_fd, LOCK_SH) != 0)
        throw Failure(errno_text("lock " + users_lock()));
    FileLock lock(prefix + ".lock", 600000);
    // The server stays up between hosts (it starts in about 2 s); it leaves a minute after the
    // last one, or when the run's cleanup stops it. Status 2 means one runs already. It takes
    // the first pty it opens as its terminal and dumps all its objects on each hang-up, so its
    // output goes nowhere.
    int status = run_logged({"wineserver", "-p60"}, 60000, true);
    if (status != 0 && status != 2)
        throw Failure("wineserver -p60 failed with status " + std::to_string(status));
    // The server writes the registry files late, so our own mark tells a finished prefix.
    std::string made = prefix + "/.kx-prefix-ready";
    if (!exists(made)) {
        status = run_logged({"wineboot", "-i"}, 300000);
        if (status != 0 || !exists(prefix + "/drive_c/windows/system32"))
            throw Failure("wineboot -i failed with status " + std::to_string(status) + ", see " +
                          binary_dir() + "/wine-setup.log");
        int fd = open(made.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) throw Failure(errno_text("create " + made));
        close(fd);
    }
    // Wine's service processes start with the first program and inherit its descriptors:
    // started from here they hold the log, never a test's pipes.
    status = run_logged({"wine", "cmd", "/c", "exit"}, 120000);
    if (status != 0) throw Failure("wine cmd /c exit failed with status " + std::to_string(status));
    wine_ready = true;
}

// Leaves the server to its own time-out while another run still uses it.
bool stop_wine() {
    if (!exists(prefix_dir())) return true;
    // This process's own use ends here.
    if (users_fd >= 0) close(users_fd);
    users_fd = -1;
    wine_ready = false;
    int fd = open(users_lock().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) throw Failure(errno_text("open " + users_lock()));
    bool alone = flock(fd, LOCK_EX | LOCK_NB) == 0;
    if (alone) run_logged({"wineserver", "-k"}, 30000);
    close(fd);
    return alone;
}

// ---------------------------------------------------------------------------------------------

Pty::Pty() {
    char name[128];
    if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0)
        throw Failure(errno_text("openpty"));
    fcntl(master_, F_SETFD, FD_CLOEXEC);
    fcntl(slave_, F_SETFD, FD_CLOEXEC);
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    slave_path_ = name;
    struct stat st;
    if (fstat(slave_, &st) != 0) throw Failure(errno_text("fstat " + slave_path_));
    rdev_ = st.st_rdev;
}

Pty::~Pty() {
    if (slave_ >= 0) close(slave_);
    if (master_ >= 0) close(master_);
}

termios Pty::settings() const {
    termios t{};
    if (tcgetattr(master_, &t) != 0) throw Failure(errno_text("tcgetattr"));
    return t;
}

void Pty::write(const std::string &bytes, int timeout_ms, const std::atomic<bool> *cancel) {
    double deadline = now_ms() + timeout_ms;
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += (size_t)n;
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            throw Failure(errno_text("write to pty master"));
        int left = (int)(deadline - now_ms());
        if (left <= 0 || (cancel && *cancel))
            throw Failure("pty master took no more than " + std::to_string(done) + " of " +
                          std::to_string(bytes.size()) + " bytes in time");
        pollfd p{master_, POLLOUT, 0};
        poll(&p, 1, left < 50 ? left : 50);
    }
}

std::string Pty::read_exact(size_t n, int timeout_ms) {
    std::string got;
    double deadline = now_ms() + timeout_ms;
    char buf[65536];
    while (got.size() < n) {
        size_t want = n - got.size() < sizeof buf ? n - got.size() : sizeof buf;
        ssize_t r = ::read(master_, buf, want);
        if (r > 0) {
            got.append(buf, (size_t)r);
            continue;
        }
        int left = (int)(deadline - now_ms());
        if (left <= 0)
            throw Failure("pty master got " + std::to_string(got.size()) + " of " +
                          std::to_string(n) + " bytes in time: " + quote(got.substr(0, 64)));
        pollfd p{master_, POLLIN, 0};
        poll(&p, 1, left < 50 ? left : 50);
    }
    return got;
}

std::string Pty::read_quiet(int quiet_ms) {
    std::string got;
    char buf[65536];
    for (;;) {
        pollfd p{master_, POLLIN, 0};
        if (poll(&p, 1, quiet_ms) <= 0 || !(p.revents & POLLIN)) return got;
        ssize_t r = ::read(master_, buf, sizeof buf);
        if (r <= 0) return got;
        got.append(buf, (size_t)r);
    }
}

void Pty::close_master() {
    if (master_ >= 0) close(master_);
    master_ = -1;
}

void Pty::close_slave() {
    if (slave_ >= 0) close(slave_);
    slave_ = -1;
}

bool Pty::hung_up(int timeout_ms) {
    double deadline = now_ms() + timeout_ms;
    for (;;) {
        pollfd p{master_, 0, 0};
        int left = (int)(deadline - now_ms());
        if (poll(&p, 1, left > 0 ? (left < 50 ? left : 50) : 0) > 0 && (p.revents & POLLHUP))
            return true;
        if (left <= 0) return false;
    }
}

Feeder::Feeder(Pty &pty, std::string bytes, int timeout_ms)
    : thread_([this, &pty, bytes = std::move(bytes), timeout_ms] {
          try {
              pty.write(bytes, timeout_ms, &cancel_);
              ok_ = true;
          } catch (const Failure &) {
              ok_ = false;
          }
          done_ = true;
      }) {}

Feeder::~Feeder() { finish(0); }

bool Feeder::finish(int wait_ms) {
    double deadline = now_ms() + wait_ms;
    while (!done_ && now_ms() < deadline)
        usleep(5000);
    cancel_ = true;
    if (thread_.joinable()) thread_.join();
    return ok_;
}

// ---------------------------------------------------------------------------------------------

ComPort::ComPort(const Pty &pty, int first, int last) {
    std::string prefix = prefix_dir();
    double deadline = now_ms() + 120000;
    while (number_ == 0) {
        for (int n = first; n <= last && number_ == 0; ++n) {
            std::string lock = prefix + "/kx-com" + std::to_string(n) + ".lock";
            int fd = open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
            if (fd < 0) throw Failure(errno_text("open " + lock));
            if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
                number_ = n;
                lock_ = fd;
            } else {
                close(fd);
            }
        }
        if (number_ == 0) {
            if (now_ms() > deadline)
                throw Failure("no free COM number between " + std::to_string(first) + " and " +
                              std::to_string(last));
            usleep(50000);
        }
    }
    link_ = prefix + "/dosdevices/com" + std::to_string(number_);
    unlink(link_.c_str());
    if (symlink(pty.slave_path().c_str(), link_.c_str()) != 0)
        throw Failure(errno_text("symlink " + link_));
}

ComPort::~ComPort() {
    unlink(link_.c_str());
    close(lock_);
}

// ---------------------------------------------------------------------------------------------

ModemLines::ModemLines() {
    char name[] = "/tmp/kx-modem-XXXXXX";
    int fd = mkstemp(name);
    if (fd < 0) throw Failure(errno_text("mkstemp"));
    path_ = name;
    if (ftruncate(fd, sizeof(kx_modem_state)) != 0) throw Failure(errno_text("ftruncate"));
    void *map = mmap(nullptr, sizeof(kx_modem_state), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (map == MAP_FAILED) throw Failure(errno_text("mmap"));
    state_ = static_cast<kx_modem_state *>(map);
    __atomic_store_n(&state_->magic, KX_MODEM_MAGIC, __ATOMIC_RELEASE);
}

ModemLines::~ModemLines() {
    munmap(state_, sizeof(kx_modem_state));
    unlink(path_.c_str());
}

int ModemLines::attach(const Pty &pty) {
    for (int i = 0; i < KX_MODEM_PORTS; ++i) {
        if (__atomic_load_n(&state_->ports[i].rdev, __ATOMIC_ACQUIRE) == 0) {
            __atomic_store_n(&state_->ports[i].rdev, (uint64_t)pty.rdev(), __ATOMIC_RELEASE);
            return i;
        }
    }
    throw Failure("no free modem-line entry");
}

unsigned ModemLines::outputs(int port) const {
    return __atomic_load_n(&state_->ports[port].outputs, __ATOMIC_ACQUIRE);
}
bool ModemLines::dtr(int port) const { return outputs(port) & TIOCM_DTR; }
bool ModemLines::rts(int port) const { return outputs(port) & TIOCM_RTS; }
bool ModemLines::breaking(int port) const {
    return __atomic_load_n(&state_->ports[port].breaking, __ATOMIC_ACQUIRE) != 0;
}
unsigned ModemLines::line_ioctls(int port) const {
    return __atomic_load_n(&state_->ports[port].line_ioctls, __ATOMIC_ACQUIRE);
}
void ModemLines::set_outputs(int port, unsigned bits) {
    __atomic_store_n(&state_->ports[port].outputs, bits, __ATOMIC_RELEASE);
}
void ModemLines::set_inputs(int port, unsigned bits) {
    __atomic_store_n(&state_->ports[port].inputs, bits, __ATOMIC_RELEASE);
}
void ModemLines::set_loopback(int port, bool on) {
    __atomic_store_n(&state_->ports[port].loopback, on ? 1u : 0u, __ATOMIC_RELEASE);
}
unsigned ModemLines::loads32() const { return __atomic_load_n(&state_->loads32, __ATOMIC_ACQUIRE); }

// ---------------------------------------------------------------------------------------------

Host::Host(HostOptions options) {
    ensure_wine();
    std::string exe = options.exe.empty() ? kalvexsh_exe() : options.exe;
    if (!exists(exe)) throw Failure(exe + " is missing: build the win32 preset first (make dll)");
    std::vector<std::string> argv = {"wine", exe};
    const char *other = getenv("KX_E2E_DLL");
    if (options.exe.empty() && other && *other)
        argv.insert(argv.end(), {"-d", windows_path(other)});
    argv.insert(argv.end(), options.args.begin(), options.args.end());
    std::vector<std::string> extra;
    if (options.modem) {
        extra.push_back(std::string("LD_PRELOAD=") + KX_PRELOAD_ROOT + "/$LIB/libkxmodem.so");
        extra.push_back(std::string(KX_MODEM_STATE_ENV "=") + options.modem->file());
    }

    int to_host[2], from_host[2];
    if (pipe2(to_host, O_CLOEXEC) != 0 || pipe2(from_host, O_CLOEXEC) != 0)
        throw Failure(errno_text("pipe"));
    static int serial = 0;
    err_file_ = binary_dir() + "/e2e-logs";
    mkdir(err_file_.c_str(), 0755);
    err_file_ += "/host-" + std::to_string(getpid()) + "-" + std::to_string(++serial) + ".err";
    int err = open(err_file_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (err < 0) throw Failure(errno_text("open " + err_file_));
    pid_ = spawn(argv, wine_environment(extra), to_host[0], from_host[1], err, true);
    close(err);
    close(to_host[0]);
    close(from_host[1]);
    in_ = to_host[1];
    out_ = from_host[0];
    fcntl(in_, F_SETFL, fcntl(in_, F_GETFL) | O_NONBLOCK);
    signal(SIGPIPE, SIG_IGN);
}

Host::~Host() {
    if (pid_ > 0) finish(10000);
    if (out_ >= 0) close(out_);
    // Only logs with something in them are worth keeping.
    struct stat st;
    if (stat(err_file_.c_str(), &st) == 0 && st.st_size == 0) unlink(err_file_.c_str());
}

std::string Host::diagnostics() const {
    std::ifstream f(err_file_);
    std::stringstream s;
    s << f.rdbuf();
    std::string text = s.str();
    if (text.size() > 2000) text = "..." + text.substr(text.size() - 2000);
    return text.empty() ? "" : "\nhost stderr:\n" + text;
}

void Host::fail(const std::string &what) {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        wait_for(pid_, 10000);
        pid_ = -1;
    }
    throw Failure(what + diagnostics());
}

std::string Host::read_line(int timeout_ms) {
    double deadline = now_ms() + timeout_ms;
    for (;;) {
        size_t nl = pending_.find('\n');
        if (nl != std::string::npos) {
            std::string line = pending_.substr(0, nl);
            pending_.erase(0, nl + 1);
            return line;
        }
        if (pid_ < 0) throw Failure("host is not running");
        int left = (int)(deadline - now_ms());
        if (left <= 0) fail("host gave no answer within " + std::to_string(timeout_ms) + " ms");
        pollfd p{out_, POLLIN, 0};
        if (poll(&p, 1, left) <= 0) continue;
        char buf[65536];
        ssize_t n = ::read(out_, buf, sizeof buf);
        if (n > 0)
            pending_.append(buf, (size_t)n);
        else if (n == 0) {
            int status = wait_for(pid_, 5000);
            pid_ = -1;
            throw Failure("host ended with status " + std::to_string(status) +
                          " (128 + N: signal N) before answering" + diagnostics());
        }
    }
}

std::vector<std::string> Host::send(const std::string &line, int finals, int timeout_ms) {
    if (pid_ < 0) throw Failure("host is not running");
    std::string data = line + "\n";
    double deadline = now_ms() + timeout_ms;
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(in_, data.data() + done, data.size() - done);
        if (n > 0) {
            done += (size_t)n;
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) fail(errno_text("write to host"));
        int left = (int)(deadline - now_ms());
        if (left <= 0) fail("host did not take its input in time");
        pollfd p{in_, POLLOUT, 0};
        poll(&p, 1, left < 50 ? left : 50);
    }
    std::vector<std::string> lines;
    while (finals > 0) {
        int left = (int)(deadline - now_ms());
        lines.push_back(read_line(left > 0 ? left : 1));
        const std::string &last = lines.back();
        if (last.rfind("  ", 0) == 0) continue;
        if (last.rfind("error:", 0) == 0) break;
        --finals;
    }
    return lines;
}

std::string Host::result(const std::string &line, int timeout_ms) {
    std::string last = send(line, 1, timeout_ms).back();
    size_t arrow = last.find(" -> ");
    if (arrow == std::string::npos) throw Failure("'" + line + "' gave '" + last + "'");
    return last.substr(arrow + 4);
}

int Host::integer(const std::string &line, int timeout_ms) {
    std::string r = result(line, timeout_ms);
    char *end;
    long v = strtol(r.c_str(), &end, 0);
    if (r.empty() || *end) throw Failure("'" + line + "' gave '" + r + "', not an integer");
    return (int)v;
}

double Host::number(const std::string &line, int timeout_ms) {
    std::string r = result(line, timeout_ms);
    char *end;
    double v = strtod(r.c_str(), &end);
    if (r.empty() || *end) throw Failure("'" + line + "' gave '" + r + "', not a number");
    return v;
}

std::string Host::text(const std::string &line, int timeout_ms) {
    return unquote(result(line, timeout_ms));
}

double Host::timed(const std::string &line, std::string *call_result, int timeout_ms) {
    auto lines = send("!time " + line, 2, timeout_ms);
    if (lines.size() != 2 || lines[1].rfind("!time -> ", 0) != 0)
        throw Failure("'!time " + line + "' gave '" + lines.back() + "'");
    if (call_result) {
        size_t arrow = lines[0].find(" -> ");
        *call_result = arrow == std::string::npos ? lines[0] : lines[0].substr(arrow + 4);
    }
    return strtod(lines[1].c_str() + 9, nullptr);
}

int Host::finish(int timeout_ms) {
    if (in_ >= 0) {
        close(in_);
        in_ = -1;
    }
    if (pid_ < 0) return -1;
    int status = wait_for(pid_, timeout_ms);
    pid_ = -1;
    return status;
}

// ---------------------------------------------------------------------------------------------

std::string open_call(const std::string &slot, const ComPort &port, const std::string &settings) {
    return "OPENCOM" + slot + " \"" + port.name() + ":" + settings + "\"";
}

std::string quote(const std::string &bytes) {
    std::string q = "\"";
    char hex[8];
    for (unsigned char c : bytes) {
        if (c >= 0x20 && c < 0x7f && c != '"' && c != '\\') {
            q += (char)c;
        } else {
            snprintf(hex, sizeof hex, "\\x%02x", c);
            q += hex;
        }
    }
    return q + "\"";
}

std::string unquote(const std::string &quoted) {
    if (quoted.size() < 2 || quoted.front() != '"' || quoted.back() != '"')
        throw Failure("not a quoted text: " + quoted.substr(0, 80));
    std::string bytes;
    for (size_t i = 1; i + 1 < quoted.size(); ++i) {
        char c = quoted[i];
        if (c != '\\') {
            bytes += c;
            continue;
        }
        char e = quoted[++i];
        switch (e) {
        case 'r':
            bytes += '\r';
            break;
        case 'n':
            bytes += '\n';
            break;
        case 't':
            bytes += '\t';
            break;
        case '\\':
            bytes += '\\';
            break;
        case '"':
            bytes += '"';
            break;
        case 'x':
            bytes += (char)std::stoi(quoted.substr(i + 1, 2), nullptr, 16);
            i += 2;
            break;
        default:
            throw Failure("bad escape in " + quoted.substr(0, 80));
        }
    }
    return bytes;
}

uint32_t fnv1a(const std::string &bytes) {
    uint32_t h = 2166136261u;
    for (unsigned char c : bytes)
        h = (h ^ c) * 16777619u;
    return h;
}

std::string random_bytes(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (auto &c : s)
        c = (char)(rng() & 0xff);
    return s;
}

std::vector<pid_t> holders_of(const std::string &path) {
    std::vector<pid_t> pids;
    DIR *proc = opendir("/proc");
    if (!proc) return pids;
    pid_t self = getpid();
    while (dirent *d = readdir(proc)) {
        char *end;
        long pid = strtol(d->d_name, &end, 10);
        if (*end || pid <= 0 || pid == self) continue;
        std::string fd_dir = std::string("/proc/") + d->d_name + "/fd";
        DIR *fds = opendir(fd_dir.c_str());
        if (!fds) continue;
        while (dirent *f = readdir(fds)) {
            char target[512];
            std::string link = fd_dir + "/" + f->d_name;
            ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
            if (n > 0 && std::string(target, (size_t)n) == path) {
                pids.push_back((pid_t)pid);
                break;
            }
        }
        closedir(fds);
    }
    closedir(proc);
    return pids;
}

} // namespace kx
