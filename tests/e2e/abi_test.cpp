// The DLL as a 32-bit stdcall library: every export by name and ordinal, and every call leaving
// the caller's stack, registers and x87 stack as the convention demands.
#include "exports_table.h"
#include "harness.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>

namespace kx {
namespace {

struct ProbeLine {
    int popped = -1, x87 = -1, kept = -1, df = -1;
    unsigned long eax = 0;
    double st0 = -1, next = -1;
};

TEST(Abi, EveryCallRemovesItsArgumentsAndKeepsTheCallersState) {
    if (arch() != "x86") GTEST_SKIP() << "stdcall is the 32-bit convention";
    Pty pty;
    ComPort port(pty);
    HostOptions options;
    options.exe = windows_host("kx_abiprobe.exe");
    options.args = {windows_path(dll_file()), port.name() + ":9600,N,8,1"};
    Host probe(options);
    std::map<std::string, ProbeLine> seen;
    for (;;) {
        std::string line = probe.read_line(30000);
        if (line.rfind("abiprobe -> ", 0) == 0) break;
        ASSERT_EQ(line.rfind("error:", 0), std::string::npos) << line;
        char name[32];
        ProbeLine p;
        int n = std::sscanf(line.c_str(),
                            " %31s popped=%d x87=%d kept=%d df=%d eax=%lx st0=%lf "
                            "next=%lf",
                            name, &p.popped, &p.x87, &p.kept, &p.df, &p.eax, &p.st0, &p.next);
        ASSERT_GE(n, 6) << line;
        seen[name] = p;
    }
    EXPECT_EQ(probe.finish(), 0);

    for (const Export &e : all_exports()) {
        SCOPED_TRACE(e.name);
        ASSERT_EQ(seen.count(e.name), 1u);
        const ProbeLine &p = seen[e.name];
        EXPECT_EQ(p.popped, e.arg_bytes);
        EXPECT_EQ(p.x87, e.name == "TIMEREAD" ? 1 : 0) << "x87 registers pushed by the call";
        EXPECT_EQ(p.kept, 1) << "EBX, ESI, EDI or EBP changed";
        EXPECT_EQ(p.df, 0) << "direction flag left set";
    }
    // Both opens reached the port, and the stopwatch value came back in st(0): after the
    // TIMEINIT just before, it is a small count of milliseconds, no later than a reading after.
    EXPECT_EQ(seen["OPENCOM"].eax, 1ul);
    EXPECT_EQ(seen["OPENCOM2"].eax, 1ul);
    const ProbeLine &t = seen["TIMEREAD"];
    EXPECT_GE(t.st0, 0.0);
    EXPECT_LE(t.st0, t.next);
    EXPECT_LT(t.next - t.st0, 1000.0);
    EXPECT_EQ(pty.read_quiet(200).find("A"), 0u) << "SENDBYTE's byte did not arrive first";
}

} // namespace
} // namespace kx
