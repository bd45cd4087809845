/* Asks an instrument for its identity and one measurement, linked with the import library.
 * Usage: first_exchange [COMn]   (default COM1) */
#include <stdio.h>
#include <string.h>

#include "kalvex.h"

static int ask(const char *command, char *answer, size_t size) {
    SENDSTRING(command);
    /* The line belongs to the library until the next READSTRING: keep a copy. */
    const char *line = READSTRING();
    strncpy(answer, line, size - 1);
    answer[size - 1] = '\0';
    return answer[0] != '\0';
}

int main(int argc, char **argv) {
    char mode[64], answer[256];
    snprintf(mode, sizeof mode, "%s:9600,N,8,1", argc > 1 ? argv[1] : "COM1");
    if (!OPENCOM(mode)) {
        fprintf(stderr, "cannot open %s\n", mode);
        CLOSECOM();
        return 1;
    }
    DTR(1); /* the open leaves DTR and RTS off */
    RTS(1);
    if (!DSR()) fprintf(stderr, "note: the instrument does not report ready (DSR off)\n");
    CLEARBUFFER();

    TIMEINIT();
    int ok = ask("*IDN?\r", answer, sizeof answer);
    printf("identity: %s (%.3f ms)\n", ok ? answer : "(no answer)", TIMEREAD());
    TIMEINIT();
    ok = ask("MEAS?\r", answer, sizeof answer);
    printf("measurement: %s (%.3f ms)\n", ok ? answer : "(no answer)", TIMEREAD());

    CLOSECOM();
    return ok ? 0 : 2;
}
