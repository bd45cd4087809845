// kalvexsh: a console host that loads KALVEX.dll and runs one call per input line, for people
// trying the library by hand and for the end-to-end tests that drive it over pipes.
#include <windows.h>

#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <math.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

enum ArgKind { ARG_NONE, ARG_INT, ARG_TEXT, ARG_DOUBLE };
enum ResKind { RES_INT, RES_VOID, RES_TEXT, RES_DOUBLE };

struct Function {
    const char *name;
    int ordinal;
    ArgKind arg;
    ResKind res;
};

#define KX_PORT_FUNCTIONS(X)                                                                       \
    X(OPENCOM, 1, ARG_TEXT, RES_INT)                                                               \
    X(TIMEOUTS, 2, ARG_INT, RES_INT)                                                               \
    X(BUFFERSIZE, 3, ARG_INT, RES_INT)                                                             \
    X(CLOSECOM, 4, ARG_NONE, RES_VOID)                                                             \
    X(SENDBYTE, 5, ARG_INT, RES_INT)                                                               \
    X(READBYTE, 6, ARG_NONE, RES_INT)                                                              \
    X(SENDSTRING, 7, ARG_TEXT, RES_VOID)                                                           \
    X(READSTRING, 8, ARG_NONE, RES_TEXT)                                                           \
    X(CLEARBUFFER, 9, ARG_NONE, RES_INT)                                                           \
    X(INBUFFER, 10, ARG_NONE, RES_INT)                                                             \
    X(OUTBUFFER, 11, ARG_NONE, RES_INT)                                                            \
    X(DTR, 12, ARG_INT, RES_INT)                                                                   \
    X(RTS, 13, ARG_INT, RES_INT)                                                                   \
    X(TXD, 14, ARG_INT, RES_INT)                                                                   \
    X(CTS, 15, ARG_NONE, RES_INT)                                                                  \
    X(DSR, 16, ARG_NONE, RES_INT)                                                                  \
    X(RI, 17, ARG_NONE, RES_INT)                                                                   \
    X(DCD, 18, ARG_NONE, RES_INT)                                                                  \
    X(INPUTS, 19, ARG_NONE, RES_INT)

#define KX_SLOT1(name, ord, arg, res) {#name, ord, arg, res},
#define KX_SLOT2(name, ord, arg, res) {#name "2", ord + 24, arg, res},

// clang-format off
const Function functions[] = {
    KX_PORT_FUNCTIONS(KX_SLOT1)
    {"TIMEINIT", 20, ARG_NONE, RES_INT},
    {"TIMEREAD", 21, ARG_NONE, RES_DOUBLE},
    {"DELAY", 22, ARG_DOUBLE, RES_VOID},
    {"REALTIME", 23, ARG_NONE, RES_INT},
    {"NORMALTIME", 24, ARG_NONE, RES_INT},
    KX_PORT_FUNCTIONS(KX_SLOT2)
};
// clang-format on
const int function_count = sizeof functions / sizeof functions[0];

typedef int(__stdcall *IntOfVoid)(void);
typedef int(__stdcall *IntOfInt)(int);
typedef int(__stdcall *IntOfText)(const char *);
typedef void(__stdcall *VoidOfVoid)(void);
typedef void(__stdcall *VoidOfText)(const char *);
typedef void(__stdcall *VoidOfDouble)(double);
typedef const char *(__stdcall *TextOfVoid)(void);
typedef double(__stdcall *DoubleOfVoid)(void);

HMODULE library;
char library_path[MAX_PATH * 2];
// The texts READSTRING and READSTRING2 returned last: the library keeps them until the slot's
// next READSTRING, and !last shows them again from there.
const char *last_text[2];
bool digest_texts;
int error_count;

void out(const char *format, ...) {
    va_list args;
    va_start(args, format);
    vfprintf(stdout, format, args);
    va_end(args);
}

void error(const char *format, ...) {
    va_list args;
    va_start(args, format);
    fputs("error: ", stdout);
    vfprintf(stdout, format, args);
    va_end(args);
    fputc('\n', stdout);
    ++error_count;
}

uint32_t fnv1a(const unsigned char *bytes, size_t n, uint32_t hash = 2166136261u) {
    for (size_t i = 0; i < n; ++i)
        hash = (hash ^ bytes[i]) * 16777619u;
    return hash;
}

void print_text(const char *text) {
    if (!text) {
        out("null");
        return;
    }
    size_t n = strlen(text);
    if (digest_texts) {
        out("[len=%u fnv1a=0x%08x]", (unsigned)n, (unsigned)fnv1a((const unsigned char *)text, n));
        return;
    }
    fputc('"', stdout);
    for (size_t i = 0; i < n; ++i) {
        unsigned char c = (unsigned char)text[i];
        switch (c) {
        case '\r':
            fputs("\\r", stdout);
            break;
        case '\n':
            fputs("\\n", stdout);
            break;
        case '\t':
            fputs("\\t", stdout);
            break;
        case '\\':
            fputs("\\\\", stdout);
            break;
        case '"':
            fputs("\\\"", stdout);
            break;
        default:
            if (c >= 0x20 && c < 0x7f)
                fputc(c, stdout);
            else
                out("\\x%02x", c);
        }
    }
    fputc('"', stdout);
}

// msvcrt's printf spells non-finite values its own way; tests parse these words.
void print_double(double value) {
    if (isnan(value))
        out("nan");
    else if (isinf(value))
        out(value < 0 ? "-inf" : "inf");
    else
        out("%.6f", value);
}

// Growable buffer that keeps a NUL after its bytes, so texts decoded from a line can hold NULs.
struct Buffer {
    char *data = nullptr;
    size_t size = 0;
    size_t capacity = 0;

    bool push(char c) {
        if (size + 2 > capacity) {
            size_t wanted = capacity ? capacity * 2 : 256;
            char *grown = (char *)realloc(data, wanted);
            if (!grown) return false;
            data = grown;
            capacity = wanted;
        }
        data[size++] = c;
        data[size] = '\0';
        return true;
    }
    void clear() {
        size = 0;
        if (data) data[0] = '\0';
    }
};

bool read_line(FILE *in, Buffer &line) {
    line.clear();
    int c;
    while ((c = fgetc(in)) != EOF) {
        if (c == '\n') break;
        if (!line.push((char)c)) {
            // A line too long for memory is dropped rather than run half-read.
            while ((c = fgetc(in)) != EOF && c != '\n') {
            }
            line.clear();
            error("line too long for memory");
            return true;
        }
    }
    if (c == EOF && line.size == 0) return false;
    while (line.size > 0 && (line.data[line.size - 1] == '\r'))
        line.data[--line.size] = '\0';
    return true;
}

char *skip_blanks(char *p) {
    while (*p == ' ' || *p == '\t')
        ++p;
    return p;
}

// The rest of a line after an argument may hold only blanks and a ';' comment.
bool only_comment_left(const char *p) {
    while (*p == ' ' || *p == '\t')
        ++p;
    return *p == '\0' || *p == ';';
}

// Cuts an unquoted argument at its comment and trailing blanks.
void trim_unquoted(char *p) {
    char *end = strchr(p, ';');
    if (!end) end = p + strlen(p);
    while (end > p && (end[-1] == ' ' || end[-1] == '\t'))
        --end;
    *end = '\0';
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Decodes "..." with C escapes into text; returns false with a message on malformed input.
bool parse_text(const char *p, Buffer &text, const char **problem) {
    text.clear();
    text.push('\0');
    text.clear();
    if (*p != '"') {
        *problem = "a text must be in double quotes (or be null)";
        return false;
    }
    ++p;
    for (;;) {
        char c = *p++;
        if (c == '\0') {
            *problem = "text has no closing quote";
            return false;
        }
        if (c == '"') break;
        if (c == '\\') {
            char e = *p++;
            switch (e) {
            case 'r':
                c = '\r';
                break;
            case 'n':
                c = '\n';
                break;
            case 't':
                c = '\t';
                break;
            case '0':
                c = '\0';
                break;
            case '\\':
                c = '\\';
                break;
            case '"':
                c = '"';
                break;
            case 'x': {
                int high = hex_digit(*p);
                if (high < 0) {
                    *problem = "\\x needs one or two hex digits";
                    return false;
                }
                ++p;
                int value = high;
                int low = hex_digit(*p);
                if (low >= 0) {
                    value = value * 16 + low;
                    ++p;
                }
                c = (char)value;
                break;
            }
            default:
                *problem = "unknown escape in text (known: \\r \\n \\t \\0 \\\\ \\\" \\xNN)";
                return false;
            }
        }
        if (!text.push(c)) {
            *problem = "text too long for memory";
            return false;
        }
    }
    if (!only_comment_left(p)) {
        *problem = "unexpected characters after the closing quote";
        return false;
    }
    return true;
}

bool parse_int(char *p, int *value) {
    trim_unquoted(p);
    if (*p == '\0') return false;
    char *end;
    errno = 0;
    long long v = strtoll(p, &end, 0);
    if (errno || *end != '\0' || v < -2147483648LL || v > 4294967295LL) return false;
    *value = (int)(uint32_t)v;
    return true;
}

bool parse_double(char *p, double *value) {
    trim_unquoted(p);
    const char *s = p;
    double sign = 1.0;
    if (*s == '-' || *s == '+') {
        sign = *s == '-' ? -1.0 : 1.0;
        ++s;
    }
    if (!_stricmp(s, "nan")) {
        *value = copysign(NAN, sign);
        return true;
    }
    if (!_stricmp(s, "inf") || !_stricmp(s, "infinity")) {
        *value = sign * INFINITY;
        return true;
    }
    if (*p == '\0') return false;
    char *end;
    errno = 0;
    double v = strtod(p, &end);
    if (*end != '\0') return false;
    *value = v;
    return true;
}

const Function *find_by_name(const char *name) {
    for (int i = 0; i < function_count; ++i)
        if (!_stricmp(functions[i].name, name)) return &functions[i];
    return nullptr;
}

const Function *find_by_ordinal(int ordinal) {
    for (int i = 0; i < function_count; ++i)
        if (functions[i].ordinal == ordinal) return &functions[i];
    return nullptr;
}

double seconds_per_tick() {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return 1.0 / (double)f.QuadPart;
}

long long now_ticks() {
    LARGE_INTEGER c;
    QueryPerformanceCounter(&c);
    return c.QuadPart;
}

// Runs one library call from "NAME arg" or "#ORD arg"; elapsed_ms, when given, gets the time
// spent inside the call alone, without parsing or printing.
void run_call(char *line, double *elapsed_ms) {
    char *p = line;
    const Function *f;
    bool by_ordinal = *p == '#';
    char *name = p;
    if (by_ordinal) ++p;
    while (*p && *p != ' ' && *p != '\t' && *p != '(' && *p != ';')
        ++p;
    char saved = *p;
    *p = '\0';
    if (by_ordinal) {
        char *end;
        long ordinal = strtol(name + 1, &end, 10);
        if (name[1] == '\0' || *end != '\0') {
            error("bad ordinal '%s'", name);
            return;
        }
        f = find_by_ordinal((int)ordinal);
        if (!f) {
            error("no function has ordinal %ld", ordinal);
            return;
        }
    } else {
        f = find_by_name(name);
        if (!f) {
            error("unknown function '%s' (try !help)", name);
            return;
        }
    }
    *p = saved;
    char *arg = skip_blanks(p);
    // NAME(arg) is accepted as well as NAME arg.
    if (*arg == '(') {
        char *close = strrchr(arg, ')');
        if (!close || !only_comment_left(close + 1)) {
            error("%s: missing ')'", f->name);
            return;
        }
        *close = '\0';
        arg = skip_blanks(arg + 1);
    }

    int int_arg = 0;
    double double_arg = 0;
    static Buffer text;
    const char *text_arg = nullptr;
    switch (f->arg) {
    case ARG_NONE:
        if (!only_comment_left(arg)) {
            error("%s takes no argument", f->name);
            return;
        }
        break;
    case ARG_INT:
        if (!parse_int(arg, &int_arg)) {
            error("%s needs an integer argument (e.g. 1, -1, 0x141)", f->name);
            return;
        }
        break;
    case ARG_DOUBLE:
        if (!parse_double(arg, &double_arg)) {
            error("%s needs a number of milliseconds (e.g. 25, 0.5, -1, nan, inf)", f->name);
            return;
        }
        break;
    case ARG_TEXT: {
        if (!_strnicmp(arg, "null", 4) && only_comment_left(arg + 4)) {
            text_arg = nullptr;
            break;
        }
        const char *problem = "";
        if (*arg == '\0' || *arg == ';') {
            error("%s needs a text argument in double quotes (or null)", f->name);
            return;
        }
        if (!parse_text(arg, text, &problem)) {
            error("%s: %s", f->name, problem);
            return;
        }
        text_arg = text.data;
        break;
    }
    }

    if (!library) {
        error("no library loaded (use !load)");
        return;
    }
    FARPROC proc = by_ordinal ? GetProcAddress(library, MAKEINTRESOURCEA(f->ordinal))
                              : GetProcAddress(library, f->name);
    if (!proc) {
        if (by_ordinal)
            error("library has no export with ordinal %d", f->ordinal);
        else
            error("library has no export named %s", f->name);
        return;
    }

    int int_result = 0;
    double double_result = 0;
    const char *text_result = nullptr;
    long long start = now_ticks();
    switch (f->res) {
    case RES_INT:
        if (f->arg == ARG_NONE)
            int_result = ((IntOfVoid)(void *)proc)();
        else if (f->arg == ARG_INT)
            int_result = ((IntOfInt)(void *)proc)(int_arg);
        else
            int_result = ((IntOfText)(void *)proc)(text_arg);
        break;
    case RES_VOID:
        if (f->arg == ARG_NONE)
            ((VoidOfVoid)(void *)proc)();
        else if (f->arg == ARG_TEXT)
            ((VoidOfText)(void *)proc)(text_arg);
        else
            ((VoidOfDouble)(void *)proc)(double_arg);
        break;
    case RES_TEXT:
        text_result = ((TextOfVoid)(void *)proc)();
        last_text[f->ordinal > 24] = text_result;
        break;
    case RES_DOUBLE:
        double_result = ((DoubleOfVoid)(void *)proc)();
        break;
    }
    long long end = now_ticks();
    if (elapsed_ms) *elapsed_ms = (double)(end - start) * seconds_per_tick() * 1000.0;

    out("%s -> ", f->name);
    switch (f->res) {
    case RES_INT:
        out("%d", int_result);
        break;
    case RES_VOID:
        out("(void)");
        break;
    case RES_TEXT:
        print_text(text_result);
        break;
    case RES_DOUBLE:
        print_double(double_result);
        break;
    }
    out("\n");
}

bool load_library(const char *path) {
    if (library) {
        error("library already loaded (use !unload first)");
        return false;
    }
    HMODULE h = LoadLibraryA(path);
    if (!h) {
        error("cannot load %s (error %lu)", path, (unsigned long)GetLastError());
        return false;
    }
    library = h;
    return true;
}

void list_exports() {
    int resolved = 0, same = 0;
    for (int i = 0; i < function_count; ++i) {
        const Function &f = functions[i];
        FARPROC by_name = GetProcAddress(library, f.name);
        FARPROC by_ordinal = GetProcAddress(library, MAKEINTRESOURCEA(f.ordinal));
        out("  %-12s #%-2d name=0x%08lx ordinal=0x%08lx\n", f.name, f.ordinal,
            (unsigned long)(uintptr_t)by_name, (unsigned long)(uintptr_t)by_ordinal);
        resolved += by_name && by_ordinal;
        same += by_name && by_name == by_ordinal;
    }
    out("!exports -> resolved=%d same=%d of %d\n", resolved, same, function_count);
}

// Reads up to n bytes with READBYTE (or READBYTE2), stopping at the first -1, and reports how
// many came and their hash: bulk transfers are checked without sending every byte back.
void read_bytes(char *args) {
    unsigned long n = 0;
    int slot = 1;
    trim_unquoted(args);
    char *end;
    n = strtoul(args, &end, 0);
    if (end == args) {
        error("!readbytes needs a count (and optionally slot 1 or 2)");
        return;
    }
    end = skip_blanks(end);
    if (*end) {
        slot = atoi(end);
        if (slot != 1 && slot != 2) {
            error("!readbytes: slot must be 1 or 2");
            return;
        }
    }
    if (!library) {
        error("no library loaded (use !load)");
        return;
    }
    IntOfVoid readbyte =
        (IntOfVoid)(void *)GetProcAddress(library, slot == 1 ? "READBYTE" : "READBYTE2");
    if (!readbyte) {
        error("library has no READBYTE%s", slot == 1 ? "" : "2");
        return;
    }
    uint32_t hash = 2166136261u;
    unsigned long got = 0;
    int last = 0;
    while (got < n) {
        last = readbyte();
        if (last < 0 || last > 255) break;
        unsigned char b = (unsigned char)last;
        hash = fnv1a(&b, 1, hash);
        ++got;
    }
    out("!readbytes -> got=%lu fnv1a=0x%08x", got, (unsigned)hash);
    if (got < n) out(" stopped=%d", last);
    out("\n");
}

// Wine 8's GetProcessHandleCount reports 0 whatever the process holds; the system handle list
// has one entry per open handle, so this process's entries give the real count (-1 on failure).
long own_handles() {
    typedef LONG(WINAPI * QuerySystemInformation)(ULONG, PVOID, ULONG, PULONG);
    struct Entry {
        USHORT pid;
        USHORT back_trace;
        BYTE type;
        BYTE flags;
        USHORT value;
        PVOID object;
        ULONG access;
    };
    struct List {
        ULONG count;
        Entry entries[1];
    };
    const ULONG SYSTEM_HANDLE_INFORMATION = 16;
    const LONG INFO_LENGTH_MISMATCH = (LONG)0xC0000004;
    QuerySystemInformation query = (QuerySystemInformation)(void *)GetProcAddress(
        GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation");
    if (!query) return -1;
    USHORT self = (USHORT)GetCurrentProcessId();
    for (ULONG size = 1 << 16; size <= (1u << 28); size *= 2) {
        List *list = (List *)malloc(size);
        if (!list) return -1;
        ULONG needed = 0;
        LONG status = query(SYSTEM_HANDLE_INFORMATION, list, size, &needed);
        long n = -1;
        if (status == 0) {
            n = 0;
            for (ULONG i = 0; i < list->count; ++i)
                n += list->entries[i].pid == self;
        }
        free(list);
        if (status != INFO_LENGTH_MISMATCH) return n;
    }
    return -1;
}

void usage(FILE *to) {
    fputs("usage: kalvexsh [-d KALVEX.dll] [SCRIPT]\n"
          "Loads KALVEX.dll (default: beside kalvexsh.exe) and runs one call per line of SCRIPT\n"
          "or of standard input, printing one result line per call.\n"
          "\n"
          "  OPENCOM \"COM3:9600,N,8,1\"   call by name (any case), text in double quotes\n"
          "  #5 0x41                     call by ordinal\n"
          "  SENDBYTE(0x41)              NAME(ARG) works as well\n"
          "  SENDSTRING \"AT\\r\\x00\"       escapes \\r \\n \\t \\0 \\\\ \\\" \\xNN; or null\n"
          "  DELAY 2.5                   numbers: 12, -1, 0x141; for DELAY also nan, inf, -inf\n"
          "  ; comment                   blank lines and ;-comments are skipped\n"
          "\n"
          "Host commands:\n"
          "  !help                 this text\n"
          "  !exports              address of every function by name and by ordinal\n"
          "  !load [PATH]          load the library again (after !unload)\n"
          "  !unload               FreeLibrary\n"
          "  !time CALL            run CALL and print the time it took in ms\n"
          "  !readbytes N [SLOT]   READBYTE up to N times or to the first -1; count and FNV-1a\n"
          "  !digest on|off        print texts as length and FNV-1a hash instead of in full\n"
          "  !last READSTRING[2]   the text that call returned last, read again where it lies\n"
          "  !sleep MS             Sleep(MS)\n"
          "  !qpc                  QueryPerformanceCounter\n"
          "  !qpf                  QueryPerformanceFrequency\n"
          "  !priority             GetPriorityClass of this process\n"
          "  !setpriority CLASS    SetPriorityClass, e.g. 0x80 for high\n"
          "  !handles              GetProcessHandleCount\n"
          "  !ownhandles           this process's handles in the system handle list\n"
          "  !version              the loaded library's version resource\n"
          "  !echo TEXT            print TEXT (a marker for programs driving kalvexsh)\n"
          "  !quit                 stop reading input\n"
          "\n"
          "Each call prints \"NAME -> RESULT\"; a faulty line prints \"error: ...\" and the host\n"
          "goes on. Exit status: 1 when any line failed, 2 for a bad command line.\n",
          to);
}

// What a user sees in the file's properties, read the way Explorer reads it.
void print_version() {
    char path[MAX_PATH];
    if (!library || !GetModuleFileNameA(library, path, sizeof path)) {
        error("no library loaded (use !load)");
        return;
    }
    DWORD unused = 0, size = GetFileVersionInfoSizeA(path, &unused);
    static char data[16384];
    VS_FIXEDFILEINFO *fixed = nullptr;
    UINT fixed_size = 0;
    if (size == 0 || size > sizeof data || !GetFileVersionInfoA(path, 0, size, data) ||
        !VerQueryValueA(data, "\\", (void **)&fixed, &fixed_size) || !fixed) {
        error("%s has no version resource (error %lu)", path, (unsigned long)GetLastError());
        return;
    }
    out("!version -> file=%lu.%lu.%lu.%lu", (unsigned long)HIWORD(fixed->dwFileVersionMS),
        (unsigned long)LOWORD(fixed->dwFileVersionMS),
        (unsigned long)HIWORD(fixed->dwFileVersionLS),
        (unsigned long)LOWORD(fixed->dwFileVersionLS));
    const char *const names[] = {"ProductName", "ProductVersion", "FileVersion", "OriginalFilename",
                                 "FileDescription"};
    for (const char *name : names) {
        char key[64];
        snprintf(key, sizeof key, "\\StringFileInfo\\040904B0\\%s", name);
        char *value = nullptr;
        UINT length = 0;
        out(" %s=\"%s\"", name,
            VerQueryValueA(data, key, (void **)&value, &length) && value ? value : "");
    }
    out("\n");
}

bool host_command(char *line) {
    char *p = line + 1;
    char *word = p;
    while (*p && *p != ' ' && *p != '\t')
        ++p;
    size_t length = (size_t)(p - word);
    char *args = skip_blanks(p);
    auto is = [&](const char *name) {
        return strlen(name) == length && !_strnicmp(word, name, length);
    };
    if (is("quit") || is("exit")) return false;
    if (is("help")) {
        usage(stdout);
    } else if (is("echo")) {
        out("%s\n", args);
    } else if (is("sleep")) {
        int ms;
        if (!parse_int(args, &ms) || ms < 0)
            error("!sleep needs milliseconds >= 0");
        else {
            Sleep((DWORD)ms);
            out("!sleep -> %d\n", ms);
        }
    } else if (is("priority")) {
        out("!priority -> 0x%lx\n", (unsigned long)GetPriorityClass(GetCurrentProcess()));
    } else if (is("setpriority")) {
        int cls;
        if (!parse_int(args, &cls))
            error("!setpriority needs a priority class such as 0x20 or 0x80");
        else
            out("!setpriority -> %d\n", SetPriorityClass(GetCurrentProcess(), (DWORD)cls) ? 1 : 0);
    } else if (is("handles")) {
        DWORD count = 0;
        if (GetProcessHandleCount(GetCurrentProcess(), &count))
            out("!handles -> %lu\n", (unsigned long)count);
        else
            error("GetProcessHandleCount failed (error %lu)", (unsigned long)GetLastError());
    } else if (is("ownhandles")) {
        long count = own_handles();
        if (count >= 0)
            out("!ownhandles -> %ld\n", count);
        else
            error("the system handle list cannot be read");
    } else if (is("version")) {
        print_version();
    } else if (is("qpc")) {
        out("!qpc -> %lld\n", now_ticks());
    } else if (is("qpf")) {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        out("!qpf -> %lld\n", (long long)f.QuadPart);
    } else if (is("load")) {
        trim_unquoted(args);
        if (*args) snprintf(library_path, sizeof library_path, "%s", args);
        if (load_library(library_path))
            out("!load -> 0x%08lx\n", (unsigned long)(uintptr_t)library);
    } else if (is("unload")) {
        if (!library)
            error("no library loaded");
        else {
            BOOL ok = FreeLibrary(library);
            library = nullptr;
            last_text[0] = last_text[1] = nullptr;
            out("!unload -> %d\n", ok ? 1 : 0);
        }
    } else if (is("last")) {
        trim_unquoted(args);
        const Function *f = find_by_name(args);
        if (!f || f->res != RES_TEXT)
            error("!last takes READSTRING or READSTRING2");
        else if (!last_text[f->ordinal > 24])
            error("%s has not returned a text since the library was loaded", f->name);
        else {
            out("!last %s -> ", f->name);
            print_text(last_text[f->ordinal > 24]);
            out("\n");
        }
    } else if (is("exports")) {
        if (!library)
            error("no library loaded (use !load)");
        else
            list_exports();
    } else if (is("digest")) {
        trim_unquoted(args);
        if (!_stricmp(args, "on") || !_stricmp(args, "off")) {
            digest_texts = !_stricmp(args, "on");
            out("!digest -> %s\n", digest_texts ? "on" : "off");
        } else
            error("!digest takes on or off");
    } else if (is("readbytes")) {
        read_bytes(args);
    } else if (is("time")) {
        double ms = 0;
        int errors_before = error_count;
        if (*args == '!' || *args == '\0')
            error("!time needs a library call");
        else {
            run_call(args, &ms);
            if (error_count == errors_before) out("!time -> %.3f ms\n", ms);
        }
    } else {
        error("unknown host command '!%.*s' (try !help)", (int)length, word);
    }
    return true;
}

// Returns false when the input asks to stop.
bool run_line(char *line) {
    char *p = skip_blanks(line);
    if (*p == '\0' || *p == ';') return true;
    if (*p == '!') return host_command(p);
    run_call(p, nullptr);
    return true;
}

} // namespace

int main(int argc, char **argv) {
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
    setvbuf(stdout, nullptr, _IOFBF, 1 << 16);

    const char *dll = nullptr;
    const char *script = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (!strcmp(argv[i], "-h") || !strcmp(argv[i], "--help") || !strcmp(argv[i], "/?")) {
            usage(stdout);
            return 0;
        }
        if (!strcmp(argv[i], "-d")) {
            if (++i == argc) {
                fputs("kalvexsh: -d needs the path of KALVEX.dll\n", stderr);
                return 2;
            }
            dll = argv[i];
        } else if (argv[i][0] == '-' && argv[i][1] != '\0') {
            fprintf(stderr, "kalvexsh: unknown option %s (try -h)\n", argv[i]);
            return 2;
        } else if (script) {
            fputs("kalvexsh: only one script file can be given\n", stderr);
            return 2;
        } else {
            script = argv[i];
        }
    }

    if (dll) {
        snprintf(library_path, sizeof library_path, "%s", dll);
    } else {
        // Beside the exe, not on the search path, so a stray copy elsewhere is never picked up.
        DWORD n = GetModuleFileNameA(nullptr, library_path, MAX_PATH);
        char *slash = n ? strrchr(library_path, '\\') : nullptr;
        snprintf(slash ? slash + 1 : library_path,
                 sizeof library_path - (size_t)(slash ? slash + 1 - library_path : 0), "%s",
                 "KALVEX.dll");
    }

    FILE *in = stdin;
    if (script && strcmp(script, "-")) {
        in = fopen(script, "rb");
        if (!in) {
            fprintf(stderr, "kalvexsh: cannot open %s\n", script);
            return 2;
        }
    }

    load_library(library_path);
    fflush(stdout);

    Buffer line;
    while (read_line(in, line)) {
        bool go_on = run_line(line.data ? line.data : (char *)"");
        fflush(stdout);
        if (!go_on) break;
    }
    if (in != stdin) fclose(in);
    return error_count ? 1 : 0;
}
