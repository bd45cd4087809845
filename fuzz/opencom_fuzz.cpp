// OPENCOM and OPENCOM2 with any mode text, against a model of the device-name rule written apart
// from the library. For every text (and a null pointer), with or without a device already in the
// slot and with any one platform call failing, the platform must see exactly the calls of an open
// with the name the rule gives and the whole text, the slot must keep what CreateFileA returned,
// and the result must be 1 exactly when the settings reached the device.
//
// Input: one control byte, then the text (a NUL ends it, as it would for a C caller).
//   bit 0: slot 2; bit 1: the slot already holds a device; bit 2: a null pointer instead of the
//   text; bits 3-5: the platform call that fails (see FAULTS), 0 for none.
#include "kalvex.h"
#include "sim.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID);

namespace {

const char *const FAULTS[] = {nullptr,        "CreateFileA", "GetCommState",    "BuildCommDCBA",
                              "SetCommState", "CloseHandle", "SetCommTimeouts", nullptr};
const char *const DEVICES[] = {"COM1", "COM2", "COM3", "COM9", "COM10", "COM12", "COM123", "LPT1"};

[[noreturn]] void fail(const std::string &what) {
    std::fprintf(stderr, "opencom_fuzz: %s\n", what.c_str());
    std::abort();
}
void require(bool ok, const std::string &what) {
    if (!ok) fail(what);
}

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string upper(std::string s) {
    for (char &c : s)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return s;
}

// "COM" in any case followed by digits names COM and all the digits, through the \\.\ namespace
// from two digits on, or nothing (a name no device has) when that would not fit MAX_PATH with its
// NUL; any other text names its first four characters.
std::string model_name(const std::string &text) {
    bool com = text.size() > 3 && lower(text[0]) == 'c' && lower(text[1]) == 'o' &&
               lower(text[2]) == 'm' && text[3] >= '0' && text[3] <= '9';
    if (!com) return text.substr(0, 4);
    size_t end = 3;
    while (end < text.size() && text[end] >= '0' && text[end] <= '9')
        ++end;
    std::string name = (end - 3 > 1 ? "\\\\.\\" : "") + text.substr(0, end);
    return name.size() < MAX_PATH ? name : "";
}

// The device a name reaches: \\.\NAME reaches NAME; names the model gives without the prefix are
// at most four characters, which the platform looks up as they are.
sim::Device *device_for(const std::string &name) {
    std::string n = upper(name);
    if (n.rfind("\\\\.\\", 0) == 0) n = n.substr(4);
    for (const char *d : DEVICES)
        if (n == d) return sim::device(d);
    return nullptr;
}

std::string handle_arg(const std::string &call) {
    size_t open = call.find('('), end = call.find_first_of(",)", open);
    return call.substr(open + 1, end - open - 1);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    const unsigned control = data[0];
    const bool second = control & 1, held = control & 2, null_text = control & 4;
    const char *fault = FAULTS[(control >> 3) & 7];
    // Only a slot that holds a device closes one; a fault left unused would hit detach instead.
    if (fault && !held && std::strcmp(fault, "CloseHandle") == 0) fault = nullptr;
    const std::string text(reinterpret_cast<const char *>(data + 1), size - 1);
    const std::string seen = null_text ? "" : std::string(text.c_str()); // up to the first NUL

    auto open = second ? OPENCOM2 : OPENCOM;
    auto other_open = second ? OPENCOM : OPENCOM2;
    auto send_byte = second ? SENDBYTE2 : SENDBYTE;

    sim::reset();
    DllMain(0, DLL_PROCESS_ATTACH, 0);
    for (const char *d : DEVICES)
        sim::add_device(d);
    // The other slot holds COM2 (or COM1) throughout and must never be touched.
    require(other_open(second ? "COM1:9600,N,8,1" : "COM2:9600,N,8,1") == 1, "other slot open");
    HANDLE other = sim::device(second ? "COM1" : "COM2")->holder;
    std::string previous;
    if (held) {
        require(open("COM3:9600,N,8,1") == 1, "first open");
        sim::Device &d = *sim::device("COM3");
        previous = sim::handle_name(d.holder);
        d.dcb.fOutX = 1; // back out of binary-only, so a later success shows again
    }
    // A device is free for the new open if nobody holds it, or the slot held it and gives it up.
    std::map<std::string, HANDLE> holders;
    for (const char *d : DEVICES)
        holders[d] = sim::device(d)->holder;
    sim::state().calls.clear();
    if (fault) sim::fail_next(fault);

    const int result = open(null_text ? nullptr : text.c_str());

    // The calls, in order, with the name the rule gives and the whole text.
    const std::vector<std::string> &calls = sim::state().calls;
    const std::string name = model_name(seen);
    size_t i = 0;
    if (held) {
        require(calls.size() > i && calls[i] == "CloseHandle(" + previous + ")",
                "the old device is closed first");
        ++i;
    }
    require(calls.size() == i + 5, "an open makes five calls after any close");
    require(calls[i] == "CreateFileA(" + sim::quoted(name) + ",c0000000,0,null,3,0,null)",
            "device name: got " + calls[i] + ", the rule gives " + sim::quoted(name));
    const std::string h = handle_arg(calls[i + 1]);
    require(calls[i + 1] == "GetCommState(" + h + ")", calls[i + 1]);
    require(calls[i + 2] == "BuildCommDCBA(" + sim::quoted(seen) + ")",
            "the settings come from the whole text: " + calls[i + 2]);
    require(calls[i + 3] == "SetCommState(" + h + ")", calls[i + 3]);
    require(calls[i + 4] == "SetCommTimeouts(" + h + ",1,1,10,10,10)", calls[i + 4]);

    // The handle is the device the name reaches, when that device was there to be opened.
    sim::Device *target = device_for(name);
    bool free = false;
    if (target) {
        HANDLE before = holders[target->name];
        free = before == 0 || (held && sim::handle_name(before) == previous &&
                               !(fault && std::strcmp(fault, "CloseHandle") == 0));
    }
    const bool created = target && free && !(fault && std::strcmp(fault, "CreateFileA") == 0);
    if (created)
        require(h != "INVALID" && sim::device_of(target->holder) == target &&
                    sim::handle_name(target->holder) == h,
                "the slot holds the handle of " + target->name + ", not " + h);
    else
        require(h == "INVALID", "no device to open, yet the slot holds " + h);

    // 1 exactly when SetCommState took the settings, and then the line is binary only.
    const bool applied = created && target->flags_word() == 1;
    require(result == (applied ? 1 : 0), "result " + std::to_string(result) + " for " +
                                             (applied ? "applied" : "unapplied") + " settings");
    if (applied) require(target->dcb.DCBlength == sizeof(DCB), "DCBlength");

    // The slot keeps what CreateFileA returned, and the other slot was never involved.
    sim::state().calls.clear();
    send_byte('x');
    require(handle_arg(sim::state().calls.at(0)) == h, "the slot keeps the new handle");
    require(sim::device(second ? "COM1" : "COM2")->holder == other, "the other slot's device");

    DllMain(0, DLL_PROCESS_DETACH, 0);
    require(sim::state().bad_closes == 0, "CloseHandle got 0, INVALID_HANDLE_VALUE or a stale one");
    const bool stuck = held && fault && std::strcmp(fault, "CloseHandle") == 0;
    require(sim::open_handles() == (stuck ? 1 : 0), "a device is still held after detach");
    return 0;
}
