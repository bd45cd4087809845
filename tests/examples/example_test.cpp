// The example hosts, built as users build them, run under Wine against the simulated instrument.
#include "harness.h"
#include "instrument.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kx {
namespace {

struct Example {
    const char *exe;
    bool dll_path_argument;
    std::vector<std::string> expected; // the lines it prints, in order
};

void PrintTo(const Example &example, std::ostream *os) { *os << example.exe; }

std::string examples_dir() { return windows_build_dir() + "/examples"; }

class Examples : public ::testing::TestWithParam<Example> {};

TEST_P(Examples, AskTheInstrumentAndGetItsAnswers) {
    const Example &example = GetParam();
    Pty pty;
    ComPort port(pty);
    ModemLines lines;
    int line = lines.attach(pty);
    Instrument instrument(pty, lines, line);

    HostOptions options;
    options.exe = examples_dir() + "/" + example.exe;
    options.args = {port.name()};
    if (example.dll_path_argument) options.args.push_back(windows_path(dll_file()));
    options.modem = &lines;
    Host host(options);
    for (const std::string &expected : example.expected) {
        std::string printed = host.read_line();
        EXPECT_EQ(printed.substr(0, printed.find(" (")), expected) << printed;
    }
    EXPECT_EQ(host.finish(), 0) << host.diagnostics();
}

const Example EXAMPLES[] = {
    {"first_exchange.exe",
     false,
     {"identity: KALVEX,SIM-100,0001,1.0", "measurement: +21.5000E+00"}},
    {"first_exchange_by_ordinal.exe",
     false,
     {"identity: KALVEX,SIM-100,0001,1.0", "measurement: +21.5000E+00"}},
    {"dynamic_load.exe", true, {"identity: KALVEX,SIM-100,0001,1.0"}},
};

INSTANTIATE_TEST_SUITE_P(Hosts, Examples, ::testing::ValuesIn(EXAMPLES),
                         [](const ::testing::TestParamInfo<Example> &info) {
                             std::string name = info.param.exe;
                             return name.substr(0, name.find('.'));
                         });

TEST(Examples, ReportAPortThatCannotBeOpened) {
    HostOptions options;
    options.exe = examples_dir() + "/first_exchange.exe";
    options.args = {"COM99"};
    Host host(options);
    EXPECT_EQ(host.finish(), 1);
}

} // namespace
} // namespace kx
