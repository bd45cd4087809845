// The byte streams of the duplex test, made the same way by the Windows host (tests/wine) and the
// test that drives it (tests/e2e): each slot and direction has its own seed, so bytes that reach
// the wrong slot or come out of order do not match.
#ifndef KX_DUPLEX_STREAM_H
#define KX_DUPLEX_STREAM_H

#include <stdint.h>

struct KxStream {
    uint32_t state;
    // Host to peer goes through SENDSTRING, which stops at a NUL: those bytes are 1 to 255.
    bool nul_free;

    KxStream(uint32_t seed, bool no_nul) : state(seed * 2654435761u | 1u), nul_free(no_nul) {}
    unsigned char next() {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        unsigned char b = (unsigned char)(state >> 24);
        return nul_free ? (unsigned char)(1 + (state >> 8) % 255) : b;
    }
};

// Seeds: slot 1 or 2, and the direction.
inline uint32_t kx_seed_to_peer(int slot) { return 100 + (uint32_t)slot; }
inline uint32_t kx_seed_from_peer(int slot) { return 200 + (uint32_t)slot; }

#endif
