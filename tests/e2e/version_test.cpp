// The version a user reads in the DLL's properties is the project's version.
#include "harness.h"

#include <gtest/gtest.h>

namespace kx {
namespace {

TEST(Version, TheResourceCarriesTheProjectVersionAndNames) {
    Host host;
    const std::string version = KX_VERSION;
    EXPECT_EQ(host.result("!version"),
              "file=" + version + ".0 ProductName=\"KALVEX\" ProductVersion=\"" + version +
                  "\" FileVersion=\"" + version +
                  "\" OriginalFilename=\"KALVEX.dll\" FileDescription=\"KALVEX serial port and "
                  "timing library (" +
                  arch() + ")\"");
}

} // namespace
} // namespace kx
