/* Gives the pty slaves named in a shared state file the modem lines a pty lacks: Wine asks for
 * them with ioctl in the Windows process, and the tests drive and observe them in the file. */
#define _GNU_SOURCE
#include "modem_state.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

typedef int (*ioctl_fn)(int, unsigned long, void *);

static struct kx_modem_state *state;

__attribute__((constructor)) static void attach_state(void) {
    const char *path = getenv(KX_MODEM_STATE_ENV);
    if (!path || !*path) return;
    int fd = open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0) return;
    void *map = mmap(NULL, sizeof *state, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (map == MAP_FAILED) return;
    state = map;
    if (__atomic_load_n(&state->magic, __ATOMIC_ACQUIRE) != KX_MODEM_MAGIC) {
        state = NULL;
        return;
    }
    __atomic_fetch_add(sizeof(void *) == 4 ? &state->loads32 : &state->loads64, 1,
                       __ATOMIC_ACQ_REL);
}

static struct kx_modem_port *port_of(int fd) {
    struct stat st;
    if (!state || fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return NULL;
    for (int i = 0; i < KX_MODEM_PORTS; ++i) {
        uint64_t rdev = __atomic_load_n(&state->ports[i].rdev, __ATOMIC_ACQUIRE);
        if (rdev && rdev == (uint64_t)st.st_rdev) return &state->ports[i];
    }
    return NULL;
}

static unsigned lines_of(struct kx_modem_port *p) {
    unsigned out = __atomic_load_n(&p->outputs, __ATOMIC_ACQUIRE);
    unsigned in = __atomic_load_n(&p->inputs, __ATOMIC_ACQUIRE);
    if (__atomic_load_n(&p->loopback, __ATOMIC_ACQUIRE)) {
        in &= ~(unsigned)(TIOCM_CTS | TIOCM_DSR | TIOCM_CD);
        if (out & TIOCM_DTR) in |= TIOCM_DSR | TIOCM_CD;
        if (out & TIOCM_RTS) in |= TIOCM_CTS;
    }
    return (out & (TIOCM_DTR | TIOCM_RTS)) | (in & (TIOCM_CTS | TIOCM_DSR | TIOCM_RI | TIOCM_CD));
}

/* Answers a modem-line or break request for an emulated port; returns 0 when fd is not one. */
static int emulate(int fd, unsigned long request, void *arg, int *result) {
    struct kx_modem_port *p;
    const unsigned settable = TIOCM_DTR | TIOCM_RTS;
    switch (request) {
    case TIOCMGET:
    case TIOCMSET:
    case TIOCMBIS:
    case TIOCMBIC:
    case TIOCSBRK:
    case TIOCCBRK:
        break;
    default:
        return 0;
    }
    p = port_of(fd);
    if (!p) return 0;
    *result = 0;
    switch (request) {
    case TIOCMGET:
        *(int *)arg = (int)lines_of(p);
        break;
    case TIOCMSET:
        __atomic_store_n(&p->outputs, *(const unsigned *)arg & settable, __ATOMIC_RELEASE);
        break;
    case TIOCMBIS:
        __atomic_fetch_or(&p->outputs, *(const unsigned *)arg & settable, __ATOMIC_ACQ_REL);
        break;
    case TIOCMBIC:
        __atomic_fetch_and(&p->outputs, ~(*(const unsigned *)arg & settable), __ATOMIC_ACQ_REL);
        break;
    case TIOCSBRK:
    case TIOCCBRK:
        __atomic_store_n(&p->breaking, request == TIOCSBRK, __ATOMIC_RELEASE);
        __atomic_fetch_add(&p->break_ioctls, 1, __ATOMIC_ACQ_REL);
        return 1;
    }
    __atomic_fetch_add(&p->line_ioctls, 1, __ATOMIC_ACQ_REL);
    return 1;
}

static int forward(const char *name, int fd, unsigned long request, void *arg) {
    ioctl_fn next = (ioctl_fn)dlsym(RTLD_NEXT, name);
    if (!next) next = (ioctl_fn)dlsym(RTLD_NEXT, "ioctl");
    return next(fd, request, arg);
}

int ioctl(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    int result;
    if (emulate(fd, request, arg, &result)) return result;
    return forward("ioctl", fd, request, arg);
}

/* 32-bit glibc built for 64-bit time routes ioctl here. */
int __ioctl_time64(int fd, unsigned long request, ...);
int __ioctl_time64(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    int result;
    if (emulate(fd, request, arg, &result)) return result;
    return forward("__ioctl_time64", fd, request, arg);
}
