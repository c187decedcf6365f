// The one TCP connection a remote port uses, and the one UDP socket a
// one-shot multicast query uses, with every wait bounded. Each platform has
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

// Opens a UDP socket on an ephemeral port for a one-shot query to a
// multicast group, and finds every IPv4 interface that is up and can
// multicast. Returns how many there are (the query goes out on each), or -1
// with nothing open.
int datagram_open();

// Sends the datagram to the group (an IPv4 address in network order) and
// port, once through each interface. Returns 0 when it went out on at least
// one, otherwise -1.
int datagram_send(const void *data, size_t size, uint32_t group, uint16_t port);

// Receives one datagram that came from the port given, waiting at most the
// time for it; others are dropped. Returns its size (a longer one is cut to
// capacity), -1 on failure, or SOCKET_TIMEOUT. source gets the sender's IPv4
// address, in network order.
long datagram_receive(void *buffer, size_t capacity, uint16_t port, uint32_t *source,
                      uint32_t timeout_ms);

// Closes the socket if there is one; harmless when there is none.
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
