// Serial port layer for Windows, through the Win32 communications calls.
#include <windows.h>

#include "serial_port.h"
#include "socket.h"

#include <cstdio>

static_assert(SETRTS == 3 && CLRRTS == 4 && SETDTR == 5 && CLRDTR == 6,
              "line operation codes must match EscapeCommFunction's");

static HANDLE port_handle = INVALID_HANDLE_VALUE;

// DTR as we last left it: cleared by the configuration, set while a DTR
// pulse holds. Windows' own USB CDC driver (usbser.sys) tells the device its
// lines only when DTR is written, in one request that carries both; an RTS
// write alone is recorded and sent nowhere. Writing DTR's own value again
// after every RTS write sends the device the new RTS. On every other driver
// that write changes nothing.
static DWORD port_dtr = CLRDTR;

static BOOL dtr_rewrite(HANDLE handle)
{
    return EscapeCommFunction(handle, port_dtr);
}

// Ports are opened through the device namespace, which is what makes COM10
// and above reachable at all.
static const char DEVICE_PREFIX[] = "\\\\.\\";
enum { DEVICE_PATH_CAPACITY = 32 };

static int port_fail(HANDLE handle, const char *message)
{
    fputs(message, stderr);
    CloseHandle(handle);
    return -1;
}

// The system's own text for the last error, on one line.
static void reason_from_system(const char *path)
{
    char text[256];
    DWORD error = GetLastError();
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, error, 0, text, sizeof text, nullptr);
    while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n' ||
                          text[length - 1] == ' '))
        length--;
    text[length] = '\0';
    port_reason_set("%s: %s (error %lu)", path, length > 0 ? text : "no text for it",
                    static_cast<unsigned long>(error));
}

int local_port_open(const char *name)
{
    char path[DEVICE_PATH_CAPACITY];
    HANDLE handle = INVALID_HANDLE_VALUE;
    if (port_path(path, sizeof path, DEVICE_PREFIX, name) != 0) {
        port_reason_set("the name is too long for a device path");
    } else {
        handle = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                             OPEN_EXISTING,
                             FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE)
            reason_from_system(path);
    }
    if (handle == INVALID_HANDLE_VALUE)
        return port_open_failed(name);

    DCB dcb;
    ZeroMemory(&dcb, sizeof dcb);
    if (!GetCommState(handle, &dcb))
        return port_fail(handle, " unable to read DCB !\n");

    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = 9600;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = 1;
    dcb.fParity = 0;
    dcb.fOutxCtsFlow = 0;
    dcb.fOutxDsrFlow = 0;
    // With both controls disabled, applying the state drops DTR and RTS:
    // the device sees both lines cleared from here on.
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fDsrSensitivity = 0;
    dcb.fTXContinueOnXoff = 0;
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.fErrorChar = 0;
    dcb.fNull = 0;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    dcb.fAbortOnError = 0;
    dcb.XonLim = 100;
    dcb.XoffLim = 100;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    if (!SetCommState(handle, &dcb))
        return port_fail(handle, "Unable to set DCB !\n");
    // Applying the state cleared RTS after DTR, which usbser.sys does not pass
    // on. A refusal here is no configuration failure, as a refused clear in
    // SetCommState is none: the line operations that follow meet it.
    port_dtr = CLRDTR;
    (void)dtr_rewrite(handle);

    COMMTIMEOUTS timeouts;
    ZeroMemory(&timeouts, sizeof timeouts);
    if (!SetCommTimeouts(handle, &timeouts))
        return port_fail(handle, "Unable to write TO !\n");

    port_handle = handle;
    return 0;
}

int local_line_change(int operation)
{
    if (!EscapeCommFunction(port_handle, static_cast<DWORD>(operation)))
        return -1;
    if (operation == SETDTR || operation == CLRDTR) {
        port_dtr = static_cast<DWORD>(operation);
        return 0;
    }
    // Until DTR is written, an RTS change may not have reached the device.
    return dtr_rewrite(port_handle) ? 0 : -1;
}

void local_port_close()
{
    if (port_handle == INVALID_HANDLE_VALUE)
        return;
    // A failed close leaves nothing to retry: the handle is invalid either
    // way, and the system drops both lines when the last handle goes.
    CloseHandle(port_handle);
    port_handle = INVALID_HANDLE_VALUE;
}

void hold_milliseconds(uint32_t milliseconds)
{
    Sleep(milliseconds);
}

int local_port_hold(uint32_t milliseconds)
{
    // Windows tells no one when a port's device goes away, and each driver
    // answers a removed device with an error of its own: the port is asked
    // for its modem status at least every 100 ms, and any failure ends the
    // hold. The clock is the performance counter's, so the hold is never
    // short by the tick of Sleep's.
    enum : uint64_t { CHECK_US = 100000 };
    uint64_t deadline = clock_microseconds() + uint64_t{milliseconds} * 1000u;
    for (uint64_t now = clock_microseconds(); now < deadline; now = clock_microseconds()) {
        uint64_t slice = deadline - now < CHECK_US ? deadline - now : CHECK_US;
        Sleep(static_cast<DWORD>((slice + 999u) / 1000u));
        DWORD status;
        if (!GetCommModemStatus(port_handle, &status)) {
            // The system drops what is left of the port with its last handle.
            CloseHandle(port_handle);
            port_handle = INVALID_HANDLE_VALUE;
            return -1;
        }
    }
    return 0;
}
