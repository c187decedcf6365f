// What an RFC 2217 server sends, taken apart byte by byte as it arrives:
// Telnet's commands, option offers and COM-PORT-OPTION answers. Data bytes
// are discarded; option offers are refused; an answer to a COM-PORT-OPTION
// request is judged against the oldest request of its command still
// unanswered, and answers with none unanswered count for nothing.
#ifndef KOVEX_TELNET_H
#define KOVEX_TELNET_H

#include <cstddef>

enum {
    IAC = 255, DONT = 254, DO = 253, WONT = 252, WILL = 251, SB = 250, SE = 240,
    COM_PORT_OPTION = 44,
    SET_BAUDRATE = 1, SET_DATASIZE = 2, SET_PARITY = 3, SET_STOPSIZE = 4, SET_CONTROL = 5,
    SERVER_ANSWER = 100,  // a server answers command N with N + 100
};

enum { TELNET_REPLY_CAPACITY = 512, COM_PORT_VALUE_MAX = 4, PENDING_MAX = 4, REQUESTS_MAX = 16 };

// What became of a request.
enum { REQUEST_WAITING = 0, REQUEST_GRANTED = 1, REQUEST_REFUSED = -1 };

struct TelnetReader {
    int state;
    int command;                 // WILL, WONT, DO or DONT awaiting its option
    int option;                  // of the subnegotiation being read
    size_t length;               // bytes of that subnegotiation so far
    unsigned char sub[1 + COM_PORT_VALUE_MAX];  // its first bytes
    int com_port;                // 1 accepted, -1 refused, 0 not yet known
    // Per COM-PORT-OPTION command (1 to 5): the requests sent and not yet
    // answered, oldest first.
    struct Pending {
        unsigned char value[COM_PORT_VALUE_MAX];
        size_t length;
        int number;  // its place in outcome
    } pending[6][PENDING_MAX];
    size_t pending_count[6];
    // Per request, in the order they were expected: what became of it.
    int outcome[REQUESTS_MAX];
    int request_count;
    bool answered;               // some request has had its answer
    // Refusals of the server's offers, waiting to be sent.
    unsigned char reply[TELNET_REPLY_CAPACITY];
    size_t reply_length;
    // The last refusal queued (IAC, command, option), or zeros. Said again,
    // it asks nothing of a server, which must not answer a refusal of what
    // is refused already (RFC 854).
    unsigned char refused[3];
};

void telnet_reader_start(TelnetReader *reader);

// Records a request as sent, so that its answer will count. Returns its
// number, for its outcome, or -1 when PENDING_MAX of its command are
// unanswered already or REQUESTS_MAX have been expected.
int telnet_expect(TelnetReader *reader, int command, const unsigned char *value, size_t length);

// Whether no request expected is still waiting for its answer.
bool telnet_all_answered(const TelnetReader *reader);

// Takes in the server's bytes until they are all read or the queue of
// refusals is too full for another; returns how many were taken. Send the
// queue and call again with the rest.
size_t telnet_read(TelnetReader *reader, const unsigned char *data, size_t size);

#endif
