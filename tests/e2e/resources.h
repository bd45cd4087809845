// What a Windows host under Wine holds: its open descriptors (from /proc) and its handles (from
// kalvexsh's !ownhandles: Wine 8's GetProcessHandleCount always reports 0).
#pragma once

#include "harness.h"

#include <dirent.h>
#include <unistd.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>

namespace kx {

inline std::string proc_file(pid_t pid, const char *name) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/" + name);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

inline pid_t parent_of(pid_t pid) {
    std::string stat = proc_file(pid, "stat");
    size_t end = stat.rfind(')'); // the name in parentheses may hold spaces
    if (end == std::string::npos) return 0;
    std::istringstream rest(stat.substr(end + 2));
    char state;
    pid_t ppid = 0;
    rest >> state >> ppid;
    return ppid;
}

inline std::string link_target(const std::string &path) {
    char target[512];
    ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
    return n > 0 ? std::string(target, (size_t)n) : "";
}

inline bool runs(pid_t pid, const std::string &exe) {
    std::string cmdline = proc_file(pid, "cmdline");
    std::string image = link_target("/proc/" + std::to_string(pid) + "/exe");
    // Before wine execs its loader the launcher is a shell script naming the program too.
    return cmdline.find(exe) != std::string::npos && image.find("wine") != std::string::npos;
}

// The pipes this test process holds, as /proc shows them ("pipe:[inode]").
inline std::set<std::string> own_pipes() {
    std::set<std::string> pipes;
    DIR *fds = opendir("/proc/self/fd");
    if (!fds) return pipes;
    while (dirent *f = readdir(fds)) {
        std::string target = link_target(std::string("/proc/self/fd/") + f->d_name);
        if (target.rfind("pipe:", 0) == 0) pipes.insert(target);
    }
    closedir(fds);
    return pipes;
}

// The process that runs exe for the launcher started as Host::pid(). For a 32-bit program wine
// execs its loader in place, so it is the launcher itself; a 64-bit one runs in a process of its
// own, found as a descendant of the launcher or, once re-parented, by its standard input: the
// pipe this test writes to. 0 when there is none (yet).
inline pid_t windows_process(pid_t launcher, const std::string &exe) {
    if (runs(launcher, exe)) return launcher;
    std::set<std::string> pipes = own_pipes();
    DIR *proc = opendir("/proc");
    if (!proc) return 0;
    pid_t found = 0;
    while (dirent *d = readdir(proc)) {
        char *end;
        long pid = strtol(d->d_name, &end, 10);
        if (*end || pid <= 0 || !runs((pid_t)pid, exe)) continue;
        if (pipes.count(link_target("/proc/" + std::to_string(pid) + "/fd/0"))) found = (pid_t)pid;
        for (pid_t p = (pid_t)pid; p > 1; p = parent_of(p))
            if (p == launcher) found = (pid_t)pid;
    }
    closedir(proc);
    return found;
}

inline int open_fds(pid_t pid) {
    std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    DIR *fds = opendir(dir.c_str());
    if (!fds) throw Failure("cannot read " + dir);
    int n = 0;
    while (dirent *f = readdir(fds))
        n += f->d_name[0] != '.';
    closedir(fds);
    return n;
}

struct Usage {
    int fds;
    int handles;
    bool operator==(const Usage &o) const { return fds == o.fds && handles == o.handles; }
};

inline std::ostream &operator<<(std::ostream &os, const Usage &u) {
    return os << u.fds << " descriptors, " << u.handles << " handles";
}

// The host's Windows process, found once it has answered (so that wine has exec'd its loader).
inline pid_t host_process(Host &host) {
    host.send("!echo ready");
    pid_t pid = windows_process(host.pid(), "kalvexsh.exe");
    if (pid == 0) throw Failure("no process runs kalvexsh.exe under the launcher");
    return pid;
}

inline Usage usage(Host &host, pid_t windows_pid) {
    return {open_fds(windows_pid), host.integer("!ownhandles")};
}

} // namespace kx
