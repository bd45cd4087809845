// The e2e binary also prepares and stops the run's Wine prefix, as CTest fixtures around the
// tests, so that no test pays for (or races on) creating it.
#include "harness.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

int main(int argc, char **argv) {
    if (argc == 2 && (!strcmp(argv[1], "--prepare-wine") || !strcmp(argv[1], "--stop-wine"))) {
        try {
            if (!strcmp(argv[1], "--prepare-wine"))
                kx::ensure_wine();
            else if (!kx::stop_wine())
                std::printf("%s: another run still uses the server; it stops on its own\n",
                            argv[1]);
            std::printf("%s: done\n", argv[1]);
            return 0;
        } catch (const std::exception &e) {
            std::fprintf(stderr, "%s: %s\n", argv[1], e.what());
            return 1;
        }
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
