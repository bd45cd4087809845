// First contact: the real DLL loads under Wine, every export is there, and a byte reaches a pty.
#include "exports_table.h"
#include "harness.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>

namespace kx {
namespace {

TEST(WineSmoke, EveryFunctionResolvesByNameAndOrdinalToOneAddress) {
    Host host;
    auto lines = host.send("!exports");
    std::map<std::string, std::pair<int, std::pair<unsigned long, unsigned long>>> seen;
    for (const std::string &line : lines) {
        char name[32];
        int ordinal;
        unsigned long by_name, by_ordinal;
        if (std::sscanf(line.c_str(), " %31s #%d name=%lx ordinal=%lx", name, &ordinal, &by_name,
                        &by_ordinal) == 4)
            seen[name] = {ordinal, {by_name, by_ordinal}};
    }
    ASSERT_EQ(lines.back(), "!exports -> resolved=43 same=43 of 43");
    for (const Export &e : all_exports()) {
        SCOPED_TRACE(e.name);
        ASSERT_EQ(seen.count(e.name), 1u);
        EXPECT_EQ(seen[e.name].first, e.ordinal);
        EXPECT_NE(seen[e.name].second.first, 0ul);
        EXPECT_EQ(seen[e.name].second.first, seen[e.name].second.second);
    }
}

TEST(WineSmoke, SentByteArrivesOnThePtyMaster) {
    Pty pty;
    ComPort port(pty);
    Host host;
    ASSERT_EQ(host.integer(open_call("", port)), 1);
    ASSERT_EQ(host.integer("SENDBYTE 0x41"), 1);
    EXPECT_EQ(pty.read_exact(1, 5000), "A");
}

} // namespace
} // namespace kx
