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

// The same contracts and messages as the local port's. The close returns
// -1, after the line's message, when the server may never have read the
// last line change (answers to SET-CONTROL not waited for, and no close
// from the server within the time-out); otherwise 0.
int remote_port_open(const char *name);
int remote_line_change(int operation);
int remote_port_close();

// What a server has sent, taken apart byte by byte as it arrives. Data
// bytes are discarded; option offers are refused; an answer to a
// COM-PORT-OPTION request is judged against the oldest request of its
// command still unanswered, and answers with none unanswered count for
// nothing.
enum { TELNET_REPLY_CAPACITY = 512, COM_PORT_VALUE_MAX = 4, PENDING_MAX = 4 };
struct TelnetReader {
    int state;
    int command;                 // WILL, WONT, DO or DONT awaiting its option
    int option;                  // of the subnegotiation being read
    size_t length;               // bytes of that subnegotiation so far
    unsigned char sub[1 + COM_PORT_VALUE_MAX];  // its first bytes
    int com_port;                // 1 accepted, -1 refused, 0 not yet known
    // Per COM-PORT-OPTION command (1 to 5): the requests sent and not yet
    // answered, oldest first, and whether an answer refused one.
    unsigned char pending[6][PENDING_MAX][COM_PORT_VALUE_MAX];
    size_t pending_length[6][PENDING_MAX];
    size_t pending_count[6];
    bool refused[6];
    bool answered;               // some request has had its answer
    // Refusals of the server's offers, waiting to be sent.
    unsigned char reply[TELNET_REPLY_CAPACITY];
    size_t reply_length;
};

void telnet_reader_start(TelnetReader *reader);

// Records a request as sent, so that its answer will count. Returns 0, or -1
// when PENDING_MAX of its command are unanswered already.
int telnet_expect(TelnetReader *reader, int command, const unsigned char *value, size_t length);

// Takes in the server's bytes until they are all read or the queue of
// refusals is too full for another; returns how many were taken. Send the
// queue and call again with the rest.
size_t telnet_read(TelnetReader *reader, const unsigned char *data, size_t size);

#endif
