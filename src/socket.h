// The one TCP connection a remote port uses, and the UDP sockets of a
// multicast DNS lookup, with every wait bounded. Each platform has
// its own whole file behind this interface; nothing else in the program
// deals in sockets.
#ifndef KOVEX_SOCKET_H
#define KOVEX_SOCKET_H

#include <cstddef>
#include <cstdint>

// What socket_send and socket_receive return when the time ran out.
enum { SOCKET_TIMEOUT = -2 };

// Connects to host (a name, an IPv4 address or an IPv6 address without
// brackets) on the numeric port service, trying each address the name has,
// each for the whole time, until one connects. Returns 0, or -1 with nothing
// open.
int socket_connect(const char *host, const char *service, uint32_t timeout_ms);

// Sends all of data within the time. Returns 0, -1 when the connection is
// gone, or SOCKET_TIMEOUT when the server would not take it in time; never
// raises SIGPIPE.
int socket_send(const void *data, size_t size, uint32_t timeout_ms);

// Receives what has arrived, up to capacity bytes, waiting at most the time
// for something to arrive (with 0, only looking). Returns the number of bytes, 0 when the server
// closed the connection, -1 when it failed, or SOCKET_TIMEOUT.
long socket_receive(void *buffer, size_t capacity, uint32_t timeout_ms);

// Tells the server we send nothing more: it reads all we sent, then the end.
// Returns 0, or -1 when the connection is gone.
int socket_shutdown();

// Closes the connection if there is one; harmless when there is none.
void socket_close();

// A multicast DNS querier's sockets (RFC 6762), on every IPv4 interface
// that is up and can multicast: sockets on port 5353 joined to the group
// there, as many as the system's limit on memberships takes, for the
// answers multicast to it, and for each interface one bound to its address
// on port 5353, for the queries and the answers unicast to them, all
// shared with any other program on the host that shares the port (a local
// responder, another run); and one bound to its address on a port of its
// own, for one-shot queries (section 6.7). Where port 5353 cannot be had,
// an interface has only the last, and where not even that can be opened it
// is skipped. Interfaces past the first DATAGRAM_LINKS_MAX are listed, not
// asked.
enum { DATAGRAM_LINKS_MAX = 32, DATAGRAM_INTERFACES_MAX = 256 };
enum { LINK_SHARED, LINK_LEGACY, LINK_FAILED, LINK_BEYOND };
// Why a link is asked only the one-shot way.
enum { LINK_PORT_HELD, LINK_NO_SHARING, LINK_JOIN_FAILED };
struct DatagramLink {
    uint32_t address, netmask;  // IPv4, network order
    int mode;                   // LINK_SHARED, LINK_LEGACY, LINK_FAILED or LINK_BEYOND
    int legacy_cause;           // for LINK_LEGACY
};

// Opens the sockets for the group (an IPv4 address in network order) and
// its port, and describes each interface in links, up to capacity. Returns
// how many there are, or -1 with nothing open when they cannot be listed.
int datagram_open(uint32_t group, uint16_t port, DatagramLink *links, int capacity);

// Sends the datagram to the group through the link: from the shared port
// or from the link's own. Returns 0, or -1 when it did not go out.
int datagram_send(int link, bool shared, const void *data, size_t size);

struct DatagramFrom {
    uint32_t address;  // the sender's IPv4 address, network order
    uint16_t port;
    int link;          // the link it came by; -1 when the system cannot tell
    bool shared;       // it came to a socket on the shared port
    bool group;        // it came to a group socket: a multicast, which every
                       // program on the port gets, where a unicast reaches one
};

// Receives one datagram from any of the sockets, waiting at most the time
// for it; the sockets take turns, so that a flood on one cannot starve the
// others. Returns its size (a longer one is cut to capacity), -1 on
// failure, or SOCKET_TIMEOUT.
long datagram_receive(void *buffer, size_t capacity, DatagramFrom *from, uint32_t timeout_ms);

// Closes the sockets; harmless when there are none.
void datagram_close();

// A clock in milliseconds that only moves forward; it may wrap, so only
// differences of its readings, taken as unsigned, mean anything.
uint32_t clock_milliseconds();

// The same clock in microseconds, for what must be timed finely (a hold).
uint64_t clock_microseconds();

// What is left of timeout_ms since the clock read started; 0 once it is spent.
inline uint32_t milliseconds_left(uint32_t started, uint32_t timeout_ms)
{
    uint32_t spent = clock_milliseconds() - started;
    return spent < timeout_ms ? timeout_ms - spent : 0;
}

#endif
