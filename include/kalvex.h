/*
 * KALVEX.dll: two RS-232 port slots and a millisecond stopwatch for Windows hosts.
 *
 * Every port function exists twice: NAME works on slot 1, NAME2 on slot 2 (ordinal + 24).
 * On 32-bit Windows all functions are __stdcall; the ordinal of each stands after it.
 * Results: "flag" is the platform's success value, non-zero on success and 0 on failure.
 * Calls on one slot, or on the stopwatch, are not serialised: a host that uses several
 * threads serialises them itself.
 */
#ifndef KALVEX_H
#define KALVEX_H

#if defined(_WIN32) && !defined(_WIN64)
#define KALVEX_API __stdcall
#else
#define KALVEX_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Opens the device named at the start of mode (e.g. "COM1:9600,N,8,1", "COM12:..."), applies the
 * settings with binary mode, no flow control, DTR and RTS off, and an 11 ms one-byte read time-out.
 * Closes whatever the slot held first. Returns 1 when the device accepted the resulting settings,
 * else 0; settings the text does not name, or names in a form Windows cannot read, stay as the
 * device had them. (1, 25) */
int KALVEX_API OPENCOM(const char *mode);
int KALVEX_API OPENCOM2(const char *mode);

/* Sets the time-outs from c ms: a one-byte read waits c + 1 ms, an n-byte write 10 n + c ms.
 * c is taken as unsigned: -2 waits about 49.7 days. Returns the flag, 0 when no device is
 * open. (2, 26) */
int KALVEX_API TIMEOUTS(int c);
int KALVEX_API TIMEOUTS2(int c);

/* Asks the driver for input and output queues of n bytes each. Returns the flag. (3, 27) */
int KALVEX_API BUFFERSIZE(int n);
int KALVEX_API BUFFERSIZE2(int n);

/* Closes the slot's device, if any; the slot is then empty. (4, 28) */
void KALVEX_API CLOSECOM(void);
void KALVEX_API CLOSECOM2(void);

/* Sends the low 8 bits of b. Returns the flag; 0 also when the byte was not written. (5, 29) */
int KALVEX_API SENDBYTE(int b);
int KALVEX_API SENDBYTE2(int b);

/* Reads one byte: 0 to 255, or -1 when none came within the read time-out. (6, 30) */
int KALVEX_API READBYTE(void);
int KALVEX_API READBYTE2(void);

/* Sends the bytes of text up to its NUL (a null pointer sends nothing). (7, 31) */
void KALVEX_API SENDSTRING(const char *text);
void KALVEX_API SENDSTRING2(const char *text);

/* Reads a line ended by CR, or by a pause longer than the read time-out, without the CR.
 * The text belongs to the library and stays valid until the same slot's next READSTRING;
 * never a null pointer, empty when nothing came. (8, 32) */
const char *KALVEX_API READSTRING(void);
const char *KALVEX_API READSTRING2(void);

/* Discards unsent output, then received input. Returns the flag of the second step. (9, 33) */
int KALVEX_API CLEARBUFFER(void);
int KALVEX_API CLEARBUFFER2(void);

/* Bytes waiting in the receive queue, 0 on failure; clears the line error state. (10, 34) */
int KALVEX_API INBUFFER(void);
int KALVEX_API INBUFFER2(void);

/* Bytes waiting in the transmit queue, 0 on failure; clears the line error state. (11, 35) */
int KALVEX_API OUTBUFFER(void);
int KALVEX_API OUTBUFFER2(void);

/* Asserts DTR when on is non-zero, releases it when 0. Returns the flag. (12, 36) */
int KALVEX_API DTR(int on);
int KALVEX_API DTR2(int on);

/* Asserts RTS when on is non-zero, releases it when 0. Returns the flag. (13, 37) */
int KALVEX_API RTS(int on);
int KALVEX_API RTS2(int on);

/* Holds TxD in the break state when on is non-zero, resumes transmission when 0. (14, 38) */
int KALVEX_API TXD(int on);
int KALVEX_API TXD2(int on);

/* 1 when CTS is asserted, else 0 (also when no device is open). (15, 39) */
int KALVEX_API CTS(void);
int KALVEX_API CTS2(void);

/* 1 when DSR is asserted, else 0 (also when no device is open). (16, 40) */
int KALVEX_API DSR(void);
int KALVEX_API DSR2(void);

/* 1 when RI is asserted, else 0 (also when no device is open). (17, 41) */
int KALVEX_API RI(void);
int KALVEX_API RI2(void);

/* 1 when DCD is asserted, else 0 (also when no device is open). (18, 42) */
int KALVEX_API DCD(void);
int KALVEX_API DCD2(void);

/* All four inputs: CTS = 1, DSR = 2, RI = 4, DCD = 8; 0 when no device is open. (19, 43) */
int KALVEX_API INPUTS(void);
int KALVEX_API INPUTS2(void);

/* Calibrates the stopwatch to the performance counter and restarts it at 0. Returns the flag
 * of the counter read. Before the first call the stopwatch counts 0.000838 ms per tick. (20) */
int KALVEX_API TIMEINIT(void);

/* Milliseconds since the last TIMEINIT. (21) */
double KALVEX_API TIMEREAD(void);

/* Spins until ms milliseconds of stopwatch time have passed; returns at once for ms <= 0 or a
 * value that is not finite. (22) */
void KALVEX_API DELAY(double ms);

/* Puts the whole host process in the realtime priority class. Returns the flag. (23) */
int KALVEX_API REALTIME(void);

/* Puts the whole host process in the normal priority class. Returns the flag. (24) */
int KALVEX_API NORMALTIME(void);

#ifdef __cplusplus
}
#endif

#endif
