// The one serial port a run uses: open and configure it, set and clear its
// DTR and RTS lines, close it. Each platform has its own whole file behind
// this interface; both print the same messages and return the same results.
#ifndef KOVEX_SERIAL_PORT_H
#define KOVEX_SERIAL_PORT_H

#include "lines.h"

#include <cstddef>
#include <cstdint>

// Opens and configures the port: 9600 bit/s, 8 data bits, no parity, one
// stop bit, no flow control, DTR and RTS cleared. Returns 0, or -1 after
// printing why and releasing whatever it had opened.
int port_open(const char *name);

// Performs dtr_operation when the selection has LINE_DTR, then
// rts_operation when it has LINE_RTS. A failed operation is reported and the
// other one is still attempted. Returns 0, or -1 when either failed.
int lines_apply(int selection, int dtr_operation, int rts_operation);

// Holds the lines as they are for the given time: for a remote port, from
// the moment the server was asked to move them. Returns 0, or -1 after
// saying so when the port went away during the hold; the port is then let
// go, and nothing is left to clear or close.
int lines_hold(uint32_t milliseconds);

// Closes the port if it is open; harmless when it is not. Returns 0, or -1
// after the line's message when the last line change may not have been
// carried out (a remote port's server did not confirm it).
int port_close();

// The port wired to this machine, in each platform's own file. port_open
// chooses it or the remote port (rfc2217.h) by the name, and the other
// calls follow that choice.
int local_port_open(const char *name);
int local_line_change(int operation);
void local_port_close();

// Holds the lines for the given time, watching the port: returns 0, or -1
// when the port went away, having let it go at once.
int local_port_hold(uint32_t milliseconds);

// Holds the current state for the given time; never returns early.
void hold_milliseconds(uint32_t milliseconds);

// Why an open failed, as far as the place that found it can tell: set
// there, and said with -d on one line ("Why: ...") after the open-failure
// message, which port_open_failed prints for every kind of port. Returns -1.
void port_reason_set(const char *format, ...);
int port_open_failed(const char *name);

// Writes prefix followed by name into path. Returns 0, or -1 (path left
// empty) when the two and the terminator do not fit in capacity bytes.
int port_path(char *path, size_t capacity, const char *prefix, const char *name);

#endif
