// Calls every KALVEX.dll function through an assembly thunk and reports what the call did to the
// machine state a 32-bit stdcall caller relies on: argument bytes removed from the stack,
// preserved registers, the x87 stack (TIMEREAD's double comes back in st(0)), the direction flag.
#include <windows.h>

#include <stdint.h>
#include <stdio.h>
#include <string.h>

extern "C" {
uint32_t kx_fn, kx_esp_before, kx_esp_after, kx_ebp_saved, kx_ebp_after, kx_eax, kx_ebx, kx_esi,
    kx_edi, kx_eflags;
uint16_t kx_fsw_before, kx_fsw_after;
double kx_st0;
// Pushes nwords from args (last first), calls fn with known values in the callee-saved
// registers, and records the state after the call in the kx_ variables.
void kx_probe(uint32_t fn, const uint32_t *args, int nwords);
}

asm(".text\n"
    ".globl _kx_probe\n"
    "_kx_probe:\n"
    "    pushl %ebp\n"
    "    movl %esp, %ebp\n"
    "    pushl %ebx\n"
    "    pushl %esi\n"
    "    pushl %edi\n"
    "    fnstsw %ax\n"
    "    movw %ax, _kx_fsw_before\n"
    "    movl 8(%ebp), %eax\n"
    "    movl %eax, _kx_fn\n"
    "    movl 12(%ebp), %edx\n"
    "    movl 16(%ebp), %ecx\n"
    "1:  testl %ecx, %ecx\n"
    "    jz 2f\n"
    "    decl %ecx\n"
    "    pushl (%edx,%ecx,4)\n"
    "    jmp 1b\n"
    "2:  movl %esp, _kx_esp_before\n"
    "    movl %ebp, _kx_ebp_saved\n"
    "    movl $0x11111111, %ebx\n"
    "    movl $0x22222222, %esi\n"
    "    movl $0x33333333, %edi\n"
    "    call *_kx_fn\n"
    "    movl %esp, _kx_esp_after\n"
    "    movl %eax, _kx_eax\n"
    "    movl %ebx, _kx_ebx\n"
    "    movl %esi, _kx_esi\n"
    "    movl %edi, _kx_edi\n"
    "    movl %ebp, _kx_ebp_after\n"
    "    pushfl\n"
    "    popl _kx_eflags\n"
    "    cld\n"
    "    fnstsw %ax\n"
    "    movw %ax, _kx_fsw_after\n"
    "    movw _kx_fsw_before, %cx\n"
    "    andw $0x3800, %ax\n"
    "    andw $0x3800, %cx\n"
    "    cmpw %ax, %cx\n"
    "    je 3f\n"
    "    fstpl _kx_st0\n"
    "3:  movl _kx_ebp_saved, %ebp\n"
    "    leal -12(%ebp), %esp\n"
    "    popl %edi\n"
    "    popl %esi\n"
    "    popl %ebx\n"
    "    popl %ebp\n"
    "    ret\n");

namespace {

struct Probe {
    const char *name;
    int words;
    uint32_t args[2];
};

int fail(const char *what) {
    printf("error: %s (error %lu)\n", what, (unsigned long)GetLastError());
    return 1;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 3) {
        printf("usage: kx_abiprobe KALVEX.dll MODE\n"
               "Calls every function once (OPENCOM with MODE) and prints the ABI facts.\n");
        return 2;
    }
    HMODULE dll = LoadLibraryA(argv[1]);
    if (!dll) return fail("cannot load the library");

    static const char sent[] = "probe";
    const double one_ms = 1.0;
    uint32_t delay_words[2];
    memcpy(delay_words, &one_ms, sizeof delay_words);
    const uint32_t mode = (uint32_t)(uintptr_t)argv[2];
    const uint32_t text = (uint32_t)(uintptr_t)sent;

    // Slot 1 and 2 get the same calls; the port is opened first and closed last in each slot.
    Probe probes[] = {
        {"OPENCOM", 1, {mode}},
        {"TIMEOUTS", 1, {10}},
        {"BUFFERSIZE", 1, {4096}},
        {"SENDBYTE", 1, {0x41}},
        {"READBYTE", 0, {}},
        {"SENDSTRING", 1, {text}},
        {"READSTRING", 0, {}},
        {"CLEARBUFFER", 0, {}},
        {"INBUFFER", 0, {}},
        {"OUTBUFFER", 0, {}},
        {"DTR", 1, {0}},
        {"RTS", 1, {0}},
        {"TXD", 1, {0}},
        {"CTS", 0, {}},
        {"DSR", 0, {}},
        {"RI", 0, {}},
        {"DCD", 0, {}},
        {"INPUTS", 0, {}},
        {"CLOSECOM", 0, {}},
        {"TIMEINIT", 0, {}},
        {"TIMEREAD", 0, {}},
        {"DELAY", 2, {delay_words[0], delay_words[1]}},
        {"REALTIME", 0, {}},
        {"NORMALTIME", 0, {}},
        {"OPENCOM2", 1, {mode}},
        {"TIMEOUTS2", 1, {10}},
        {"BUFFERSIZE2", 1, {4096}},
        {"SENDBYTE2", 1, {0x42}},
        {"READBYTE2", 0, {}},
        {"SENDSTRING2", 1, {text}},
        {"READSTRING2", 0, {}},
        {"CLEARBUFFER2", 0, {}},
        {"INBUFFER2", 0, {}},
        {"OUTBUFFER2", 0, {}},
        {"DTR2", 1, {0}},
        {"RTS2", 1, {0}},
        {"TXD2", 1, {0}},
        {"CTS2", 0, {}},
        {"DSR2", 0, {}},
        {"RI2", 0, {}},
        {"DCD2", 0, {}},
        {"INPUTS2", 0, {}},
        {"CLOSECOM2", 0, {}},
    };

    typedef double(__stdcall * TimeRead)(void);
    TimeRead timeread = (TimeRead)(void *)GetProcAddress(dll, "TIMEREAD");
    int done = 0;
    for (const Probe &p : probes) {
        FARPROC fn = GetProcAddress(dll, p.name);
        if (!fn) {
            printf("error: no export %s\n", p.name);
            continue;
        }
        kx_st0 = -1.0;
        kx_probe((uint32_t)(uintptr_t)fn, p.args, p.words);
        int popped = (int)(kx_esp_after - kx_esp_before);
        int pushed = ((kx_fsw_before >> 11) - (kx_fsw_after >> 11)) & 7;
        bool kept = kx_ebx == 0x11111111 && kx_esi == 0x22222222 && kx_edi == 0x33333333 &&
                    kx_ebp_after == kx_ebp_saved;
        printf("  %s popped=%d x87=%d kept=%d df=%d eax=0x%08lx", p.name, popped, pushed,
               kept ? 1 : 0, (kx_eflags & 0x400) ? 1 : 0, (unsigned long)kx_eax);
        if (pushed == 1) {
            // A TIMEREAD taken at once after the probed one bounds the value that came back.
            double after = timeread ? timeread() : -1.0;
            printf(" st0=%.6f next=%.6f", kx_st0, after);
        }
        printf("\n");
        ++done;
    }
    printf("abiprobe -> %d\n", done);
    fflush(stdout);
    FreeLibrary(dll);
    return 0;
}
