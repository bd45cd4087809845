// The library's interface as a host sees it: name, ordinal and the bytes of arguments each
// function takes off the stack.
#pragma once

#include <string>
#include <vector>

namespace kx {

struct Export {
    std::string name;
    int ordinal;
    int arg_bytes;
};

inline std::vector<Export> all_exports() {
    static const Export slot_one[] = {
        {"OPENCOM", 1, 4},     {"TIMEOUTS", 2, 4},  {"BUFFERSIZE", 3, 4}, {"CLOSECOM", 4, 0},
        {"SENDBYTE", 5, 4},    {"READBYTE", 6, 0},  {"SENDSTRING", 7, 4}, {"READSTRING", 8, 0},
        {"CLEARBUFFER", 9, 0}, {"INBUFFER", 10, 0}, {"OUTBUFFER", 11, 0}, {"DTR", 12, 4},
        {"RTS", 13, 4},        {"TXD", 14, 4},      {"CTS", 15, 0},       {"DSR", 16, 0},
        {"RI", 17, 0},         {"DCD", 18, 0},      {"INPUTS", 19, 0}};
    std::vector<Export> all(std::begin(slot_one), std::end(slot_one));
    all.insert(all.end(), {{"TIMEINIT", 20, 0},
                           {"TIMEREAD", 21, 0},
                           {"DELAY", 22, 8},
                           {"REALTIME", 23, 0},
                           {"NORMALTIME", 24, 0}});
    for (const Export &e : slot_one)
        all.push_back({e.name + "2", e.ordinal + 24, e.arg_bytes});
    return all;
}

} // namespace kx
