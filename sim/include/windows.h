// Our own declarations of the Win32 names the library uses, for the native build against the
// simulated platform. Layouts and values follow the public Win32 documentation.
#pragma once

#include <cstddef>
#include <cstdint>

#define WINAPI
#define APIENTRY
#define CALLBACK

typedef int BOOL;
typedef unsigned char BYTE;
typedef unsigned short WORD;
typedef std::uint32_t DWORD;
typedef char CHAR;
typedef void *HANDLE;
typedef HANDLE HINSTANCE;
typedef HANDLE HMODULE;
typedef void *LPVOID;
typedef const void *LPCVOID;
typedef const char *LPCSTR;
typedef DWORD *LPDWORD;

#define TRUE 1
#define FALSE 0
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1)))

union LARGE_INTEGER {
    struct {
        DWORD LowPart;
        std::int32_t HighPart;
    } u;
    std::int64_t QuadPart;
};

struct SECURITY_ATTRIBUTES;
typedef SECURITY_ATTRIBUTES *LPSECURITY_ATTRIBUTES;
struct OVERLAPPED;
typedef OVERLAPPED *LPOVERLAPPED;

// Device control block: the 32 one-bit and two-bit flags share one DWORD after BaudRate.
struct DCB {
    DWORD DCBlength;
    DWORD BaudRate;
    DWORD fBinary : 1;
    DWORD fParity : 1;
    DWORD fOutxCtsFlow : 1;
    DWORD fOutxDsrFlow : 1;
    DWORD fDtrControl : 2;
    DWORD fDsrSensitivity : 1;
    DWORD fTXContinueOnXoff : 1;
    DWORD fOutX : 1;
    DWORD fInX : 1;
    DWORD fErrorChar : 1;
    DWORD fNull : 1;
    DWORD fRtsControl : 2;
    DWORD fAbortOnError : 1;
    DWORD fDummy2 : 17;
    WORD wReserved;
    WORD XonLim;
    WORD XoffLim;
    BYTE ByteSize;
    BYTE Parity;
    BYTE StopBits;
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
    WORD wReserved1;
};
typedef DCB *LPDCB;

struct COMMTIMEOUTS {
    DWORD ReadIntervalTimeout;
    DWORD ReadTotalTimeoutMultiplier;
    DWORD ReadTotalTimeoutConstant;
    DWORD WriteTotalTimeoutMultiplier;
    DWORD WriteTotalTimeoutConstant;
};
typedef COMMTIMEOUTS *LPCOMMTIMEOUTS;

struct COMSTAT {
    DWORD fCtsHold : 1;
    DWORD fDsrHold : 1;
    DWORD fRlsdHold : 1;
    DWORD fXoffHold : 1;
    DWORD fXoffSent : 1;
    DWORD fEof : 1;
    DWORD fTxim : 1;
    DWORD fReserved : 25;
    DWORD cbInQue;
    DWORD cbOutQue;
};
typedef COMSTAT *LPCOMSTAT;

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define OPEN_EXISTING 3

#define NOPARITY 0
#define ODDPARITY 1
#define EVENPARITY 2
#define MARKPARITY 3
#define SPACEPARITY 4
#define ONESTOPBIT 0
#define ONE5STOPBITS 1
#define TWOSTOPBITS 2

#define DTR_CONTROL_DISABLE 0
#define DTR_CONTROL_ENABLE 1
#define DTR_CONTROL_HANDSHAKE 2
#define RTS_CONTROL_DISABLE 0
#define RTS_CONTROL_ENABLE 1
#define RTS_CONTROL_HANDSHAKE 2
#define RTS_CONTROL_TOGGLE 3

#define PURGE_TXABORT 0x1
#define PURGE_RXABORT 0x2
#define PURGE_TXCLEAR 0x4
#define PURGE_RXCLEAR 0x8

#define SETXOFF 1
#define SETXON 2
#define SETRTS 3
#define CLRRTS 4
#define SETDTR 5
#define CLRDTR 6
#define SETBREAK 8
#define CLRBREAK 9

#define MS_CTS_ON 0x10
#define MS_DSR_ON 0x20
#define MS_RING_ON 0x40
#define MS_RLSD_ON 0x80

#define CE_RXOVER 0x1
#define CE_OVERRUN 0x2
#define CE_RXPARITY 0x4
#define CE_FRAME 0x8
#define CE_BREAK 0x10

#define NORMAL_PRIORITY_CLASS 0x20
#define IDLE_PRIORITY_CLASS 0x40
#define HIGH_PRIORITY_CLASS 0x80
#define REALTIME_PRIORITY_CLASS 0x100

#define DLL_PROCESS_DETACH 0
#define DLL_PROCESS_ATTACH 1
#define DLL_THREAD_ATTACH 2
#define DLL_THREAD_DETACH 3

#define MAX_PATH 260

HANDLE WINAPI CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                          DWORD disposition, DWORD attributes, HANDLE templ);
BOOL WINAPI CloseHandle(HANDLE h);
BOOL WINAPI GetCommState(HANDLE h, LPDCB dcb);
BOOL WINAPI BuildCommDCBA(LPCSTR def, LPDCB dcb);
BOOL WINAPI SetCommState(HANDLE h, LPDCB dcb);
BOOL WINAPI SetCommTimeouts(HANDLE h, LPCOMMTIMEOUTS timeouts);
BOOL WINAPI SetupComm(HANDLE h, DWORD in_queue, DWORD out_queue);
BOOL WINAPI ReadFile(HANDLE h, LPVOID buffer, DWORD count, LPDWORD read, LPOVERLAPPED overlapped);
BOOL WINAPI WriteFile(HANDLE h, LPCVOID buffer, DWORD count, LPDWORD written,
                      LPOVERLAPPED overlapped);
BOOL WINAPI PurgeComm(HANDLE h, DWORD flags);
BOOL WINAPI ClearCommError(HANDLE h, LPDWORD errors, LPCOMSTAT stat);
BOOL WINAPI EscapeCommFunction(HANDLE h, DWORD function);
BOOL WINAPI GetCommModemStatus(HANDLE h, LPDWORD status);
BOOL WINAPI QueryPerformanceFrequency(LARGE_INTEGER *frequency);
BOOL WINAPI QueryPerformanceCounter(LARGE_INTEGER *count);
HANDLE WINAPI GetCurrentProcess(void);
BOOL WINAPI SetPriorityClass(HANDLE process, DWORD priority_class);
DWORD WINAPI GetPriorityClass(HANDLE process);
