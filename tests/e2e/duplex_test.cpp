// Both slots at full tilt from two threads of one Windows process: each thread streams a mebibyte
// out and takes a mebibyte in on its own line at the same time. No byte may reach the other
// slot, and none may be lost, altered or reordered in either direction.
#include "background.h"
#include "harness.h"

#include "../wine/duplex_stream.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>

namespace kx {
namespace {

const size_t BYTES = 1 << 20;

std::string stream(uint32_t seed, bool nul_free) {
    KxStream s(seed, nul_free);
    std::string bytes(BYTES, '\0');
    for (char &c : bytes)
        c = static_cast<char>(s.next());
    return bytes;
}

TEST(Duplex, ThreadPerSlotStreamsAMebibyteEachWayWithoutCrossTalk) {
    Pty lines[2];
    ComPort ports[2] = {ComPort(lines[0]), ComPort(lines[1])};
    HostOptions options;
    options.exe = windows_host("kx_duplex.exe");
    options.args = {windows_path(dll_file()), ports[0].name(), ports[1].name(),
                    std::to_string(BYTES)};
    Host host(options);
    ASSERT_EQ(host.read_line(60000), "opened 1 1");

    // The peer on each line: a writer of the stream the slot must receive, and a reader of what
    // the slot sends.
    double t0 = now_ms();
    std::unique_ptr<Feeder> writers[2];
    std::string got[2];
    std::string failure[2];
    std::unique_ptr<Background> readers[2];
    for (int k = 0; k < 2; ++k) {
        writers[k] =
            std::make_unique<Feeder>(lines[k], stream(kx_seed_from_peer(k + 1), false), 150000);
        readers[k] = std::make_unique<Background>([&, k] {
            try {
                got[k] = lines[k].read_exact(BYTES, 150000);
            } catch (const Failure &e) {
                failure[k] = e.what();
            }
        });
    }
    host.send("go", 0);
    std::string results[2] = {host.read_line(160000), host.read_line(10000)};
    EXPECT_EQ(host.read_line(10000), "done");
    for (auto &r : readers)
        r->join();
    double seconds = (now_ms() - t0) / 1000;

    for (int k = 0; k < 2; ++k) {
        SCOPED_TRACE("slot " + std::to_string(k + 1));
        EXPECT_TRUE(writers[k]->finish(5000)) << "the slot did not take all the peer sent";
        char expected[128];
        std::snprintf(expected, sizeof expected,
                      "slot%d sent=%zu received=%zu mismatches=0 first_mismatch=-1", k + 1, BYTES,
                      BYTES);
        EXPECT_EQ(results[k], expected) << "what the slot received";
        EXPECT_EQ(failure[k], "");
        std::string sent = stream(kx_seed_to_peer(k + 1), true);
        EXPECT_EQ(got[k].size(), sent.size());
        EXPECT_TRUE(got[k] == sent) << "what the slot sent arrived changed";
    }
    EXPECT_EQ(host.finish(10000), 0);
    std::printf("[ figures  ] duplex %s: %zu bytes each way on each slot (%zu in all) in %.1f s\n",
                arch().c_str(), BYTES, 4 * BYTES, seconds);
}

} // namespace
} // namespace kx
