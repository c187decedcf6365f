// A serial port that a server exports over the network with RFC 2217 (the
// Telnet COM-PORT-OPTION), named rfc2217://HOST:PORT[?OPTION[&OPTION]...].
// It is one more implementation of the serial port interface: port_open
// picks it by the name. The protocol is platform-neutral and speaks through
// socket.h. No lock file, no holder check: the server owns the port.
#ifndef KOVEX_RFC2217_H
#define KOVEX_RFC2217_H

#include <cstddef>
#include <cstdint>

// Longest remote port name, and longest host name in it.
enum { REMOTE_NAME_MAX = 511, REMOTE_HOST_MAX = 253 };

// Where a remote port name leads and how to talk to it.
struct RemoteAddress {
    char host[REMOTE_HOST_MAX + 1];  // without an IPv6 address's brackets
    char service[6];                 // the port number, 1 to 65535
    bool ign_set_control;            // send SET-CONTROL requests without waiting for answers
    uint32_t timeout_ms;             // each wait for the server
};

// Whether the name is a remote port's (it begins with "rfc2217://").
bool remote_port_name(const char *name);

// Reads a remote port name. Returns 0, or -1 when it is not a valid one:
// a bad or missing port number, an empty or overlong host, an unknown
// option or a bad option value, a name longer than REMOTE_NAME_MAX.
int remote_address_parse(const char *name, RemoteAddress *address);

// Reads a positive, finite number of seconds (fractions allowed) as
// milliseconds, rounded up; longer than about 24 days is taken as that.
// Returns 0, or -1 when it is no such number.
int seconds_parse(const char *text, size_t length, uint32_t *milliseconds);

// The same contracts and messages as the local port's, but for the line
// changes, which come a phase at a time: the requests for DTR and RTS (an
// operation of 0 leaves a line alone) go out together, DTR's first, and each
// line's outcome is told apart. remote_hold holds the lines for the time
// given from the moment the last requests went out, reading what the server
// sends meanwhile; it returns how much of the hold is still to pass when the
// connection could not be read to its end. The close returns -1, after the
// line's message, when the server may never have read the last line change
// (answers to SET-CONTROL not waited for, and no close from the server
// within the time-out); otherwise 0.
int remote_port_open(const char *name);
void remote_lines_change(int dtr_operation, int rts_operation, bool *dtr_failed, bool *rts_failed);
uint32_t remote_hold(uint32_t milliseconds);
int remote_port_close();

#endif
