/* Modem lines of emulated serial ports, shared through a mapped file between the tests and
 * the preload library in the Wine process (a pty has no modem lines of its own). */
#ifndef KX_MODEM_STATE_H
#define KX_MODEM_STATE_H

#include <stdint.h>

#define KX_MODEM_STATE_ENV "KX_MODEM_STATE"
#define KX_MODEM_MAGIC 0x4b584d31u
#define KX_MODEM_PORTS 4

/* Line bits use the TIOCM_* values of Linux. All fields are read and written with atomic
 * operations, as the test and the Wine process change them concurrently. */
struct kx_modem_port {
    uint64_t rdev;         /* device number of the pty slave; 0 marks an unused entry */
    uint32_t outputs;      /* TIOCM_DTR and TIOCM_RTS as last set through the port */
    uint32_t inputs;       /* TIOCM_CTS, TIOCM_DSR, TIOCM_RI and TIOCM_CD as the peer drives them */
    uint32_t loopback;     /* non-zero: inputs follow outputs, DTR to DSR and DCD, RTS to CTS */
    uint32_t breaking;     /* non-zero while the port holds a break */
    uint32_t line_ioctls;  /* modem-line requests answered, so a test sees they happened */
    uint32_t break_ioctls; /* break requests answered */
};

struct kx_modem_state {
    uint32_t magic;
    uint32_t loads32; /* preload library constructors run in 32-bit processes */
    uint32_t loads64; /* and in 64-bit ones (the wine launcher script's shell) */
    uint32_t reserved;
    struct kx_modem_port ports[KX_MODEM_PORTS];
};

#endif
