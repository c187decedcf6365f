// The remote port: RFC 2217 over Telnet, as ser2net and serial device
// servers speak it, and as pyserial's and esptool's clients name it.
#include "rfc2217.h"

#include "lines.h"
#include "pattern.h"
#include "serial_port.h"
#include "socket.h"
#include "telnet.h"

#include <cstdio>
#include <cstring>

enum {
    CONTROL_NO_FLOW = 1, CONTROL_DTR_ON = 8, CONTROL_DTR_OFF = 9,
    CONTROL_RTS_ON = 11, CONTROL_RTS_OFF = 12,
    PARITY_NONE = 1, STOPSIZE_ONE = 1,
};

static const char SCHEME[] = "rfc2217://";
enum : uint32_t { DEFAULT_TIMEOUT_MS = 3000, LONGEST_TIMEOUT_MS = 2147483647u };

static bool same_text(const char *text, size_t length, const char *word)
{
    return strlen(word) == length && memcmp(text, word, length) == 0;
}

bool remote_port_name(const char *name)
{
    // Case does not matter, as for pyserial.
    return name_has_scheme(name, SCHEME);
}

int seconds_parse(const char *text, size_t length, uint32_t *milliseconds)
{
    uint64_t thousandths = 0;
    uint64_t scale = 1000;
    bool digits = false;
    bool fraction = false;
    bool rest = false;  // non-zero digits past the thousandths
    for (size_t i = 0; i < length; i++) {
        char c = text[i];
        if (c == '.' && !fraction) {
            fraction = true;
            continue;
        }
        if (c < '0' || c > '9')
            return -1;
        digits = true;
        uint64_t digit = static_cast<uint64_t>(c - '0');
        if (!fraction) {
            thousandths = thousandths * 10 + digit * 1000;
            if (thousandths > LONGEST_TIMEOUT_MS)
                thousandths = LONGEST_TIMEOUT_MS + 1ull;
        } else if (scale > 1) {
            scale /= 10;
            thousandths += digit * scale;
        } else if (digit != 0) {
            rest = true;
        }
    }
    if (!digits)
        return -1;
    thousandths += rest ? 1 : 0;
    if (thousandths == 0)
        return -1;
    *milliseconds = thousandths > LONGEST_TIMEOUT_MS ? LONGEST_TIMEOUT_MS
                                                     : static_cast<uint32_t>(thousandths);
    return 0;
}

// One option of the query; pyserial's logging and poll_modem are taken and
// do nothing here, so that the names people already use keep working.
static int option_parse(const char *text, size_t length, RemoteAddress *address)
{
    if (length == 0)
        return 0;
    if (same_text(text, length, "ign_set_control")) {
        address->ign_set_control = true;
        return 0;
    }
    if (same_text(text, length, "poll_modem"))
        return 0;
    if (length > 8 && memcmp(text, "timeout=", 8) == 0)
        return seconds_parse(text + 8, length - 8, &address->timeout_ms);
    if (length > 8 && memcmp(text, "logging=", 8) == 0) {
        const char *level = text + 8;
        length -= 8;
        return same_text(level, length, "debug") || same_text(level, length, "info") ||
                       same_text(level, length, "warning") || same_text(level, length, "error")
                   ? 0
                   : -1;
    }
    return -1;
}

int remote_address_parse(const char *name, RemoteAddress *address)
{
    memset(address, 0, sizeof *address);
    address->timeout_ms = DEFAULT_TIMEOUT_MS;
    if (!remote_port_name(name) || strlen(name) > REMOTE_NAME_MAX)
        return -1;
    const char *host = name + strlen(SCHEME);
    const char *host_end;
    const char *colon;
    if (*host == '[') {  // an IPv6 address
        host++;
        host_end = strchr(host, ']');
        if (host_end == nullptr)
            return -1;
        colon = host_end + 1;
    } else {
        host_end = host + strcspn(host, ":?&[]");
        colon = host_end;
    }
    size_t host_length = static_cast<size_t>(host_end - host);
    if (host_length == 0 || host_length > REMOTE_HOST_MAX || *colon != ':')
        return -1;
    memcpy(address->host, host, host_length);

    const char *port = colon + 1;
    size_t port_length = strspn(port, "0123456789");
    unsigned long number = 0;
    for (size_t i = 0; i < port_length && i < 6; i++)
        number = number * 10 + static_cast<unsigned long>(port[i] - '0');
    if (port_length == 0 || port_length > 5 || number == 0 || number > 65535)
        return -1;
    snprintf(address->service, sizeof address->service, "%lu", number);

    const char *rest = port + port_length;
    if (*rest == '\0')
        return 0;
    if (*rest != '?')
        return -1;
    for (const char *option = rest + 1;; ) {
        size_t length = strcspn(option, "&");
        if (option_parse(option, length, address) != 0)
            return -1;
        if (option[length] == '\0')
            return 0;
        option += length + 1;
    }
}

// The connection's state for the run: its address, what the server has
// said, when the last line change went out, and the last line of it with
// whether that line failed.
static RemoteAddress remote;
static TelnetReader reader;
static uint64_t change_sent_us;
static int last_operation;
static bool last_failed;

// Outcomes of a wait for the server.
enum { WAIT_DONE = 0, WAIT_TIMEOUT = -1, WAIT_CLOSED = -2 };
enum { UNTIL_OPTION, UNTIL_ANSWERS };

// What the server sends is read in pieces this large: a board's output, or
// a server's flood, must not be read more slowly than it comes.
static unsigned char received[16384];
enum { HOLD_PIECE = 2048 };
// The longest single wait of a hold: a hold may last 49 days, and a wait
// past 2^31 ms would mean "for ever" to poll().
enum : uint64_t { WAIT_MOST_MS = 60000 };

// Sends within what is left of the wait that began at started.
static int remote_send(const unsigned char *data, size_t size, uint32_t started)
{
    uint32_t left = milliseconds_left(started, remote.timeout_ms);
    int sent = left == 0 ? SOCKET_TIMEOUT : socket_send(data, size, left);
    return sent == 0 ? WAIT_DONE : sent == SOCKET_TIMEOUT ? WAIT_TIMEOUT : WAIT_CLOSED;
}

// Takes in what was received, sending the refusals it calls for as they
// come, within what is left of the wait.
static int remote_take(size_t size, uint32_t started)
{
    for (size_t taken = 0; taken < size || reader.reply_length > 0;) {
        taken += telnet_read(&reader, received + taken, size - taken);
        if (reader.reply_length == 0)
            continue;
        int sent = remote_send(reader.reply, reader.reply_length, started);
        if (sent != WAIT_DONE)
            return sent;
        reader.reply_length = 0;
    }
    return WAIT_DONE;
}

// A server whose earlier bytes we have not yet acknowledged holds a small
// answer back until we do (Nagle's algorithm), and a stack that delays its
// acknowledgements keeps it there: Windows for up to 200 ms, Linux for 40 ms
// unless told otherwise. So what the server sent while our requests were on
// their way (its reply to our refusals, say) is acknowledged at once, by
// saying our last refusal again: the one thing every server reads and lets
// go by (sredird stops answering after a Telnet NOP). A server that never
// offered anything gets nothing.
static int remote_acknowledge(uint32_t started)
{
    if (reader.refused[0] != IAC)
        return WAIT_DONE;
    return remote_send(reader.refused, sizeof reader.refused, started);
}

// Reads and takes apart what the server sends until the awaited answers are
// in, or the time is up. Data, offers and notifications may come first and
// in any amount: each is read and let go at once.
static int remote_wait(int until)
{
    uint32_t started = clock_milliseconds();
    for (;;) {
        if (until == UNTIL_OPTION ? reader.com_port != 0 : telnet_all_answered(&reader))
            return WAIT_DONE;
        uint32_t left = milliseconds_left(started, remote.timeout_ms);
        long got = left == 0 ? long{SOCKET_TIMEOUT} : socket_receive(received, sizeof received, left);
        if (got == SOCKET_TIMEOUT)
            return WAIT_TIMEOUT;
        if (got <= 0)
            return WAIT_CLOSED;
        int taken = remote_take(static_cast<size_t>(got), started);
        if (taken != WAIT_DONE)
            return taken;
        if (until == UNTIL_ANSWERS && !telnet_all_answered(&reader)) {
            taken = remote_acknowledge(started);
            if (taken != WAIT_DONE)
                return taken;
        }
    }
}

// Reads what the server sends until the clock reaches `until`, then what is
// already waiting, one piece of it at most: a server that floods us must
// not hold up what comes next. Answers to requests still unanswered count
// as they come; the rest is let go.
static int remote_read(uint64_t until)
{
    for (;;) {
        uint64_t now = clock_microseconds();
        bool over = now >= until;
        // The wait is whole milliseconds: the last one is spent looking. The
        // pieces are small, so that the time's end is never far off while
        // a piece is read and taken apart.
        uint64_t wait = over ? 0 : (until - now) / 1000;
        long got = socket_receive(received, HOLD_PIECE,
                                  static_cast<uint32_t>(wait < WAIT_MOST_MS ? wait : WAIT_MOST_MS));
        if (got == SOCKET_TIMEOUT && over)
            return WAIT_DONE;  // nothing is waiting any more
        if (got == SOCKET_TIMEOUT)
            continue;
        if (got <= 0)
            return WAIT_CLOSED;
        // Refusals of what it offers get the whole time-out, however long the hold.
        int taken = remote_take(static_cast<size_t>(got), clock_milliseconds());
        if (taken != WAIT_DONE || over)
            return taken;
    }
}

// Appends one COM-PORT-OPTION request to buffer, and expects its answer
// unless SET-CONTROL answers go unread. Returns the request's number for its
// outcome, or -1 when its answer is not awaited. None of our values holds
// the byte 255, which would have to be doubled.
static int request(unsigned char *buffer, size_t *at, int command, const unsigned char *value,
                   size_t length)
{
    static const unsigned char HEAD[] = {IAC, SB, COM_PORT_OPTION};
    memcpy(buffer + *at, HEAD, sizeof HEAD);
    *at += sizeof HEAD;
    buffer[(*at)++] = static_cast<unsigned char>(command);
    memcpy(buffer + *at, value, length);
    *at += length;
    buffer[(*at)++] = IAC;
    buffer[(*at)++] = SE;
    // At most three of one command are ever unanswered, which the reader holds.
    if (command == SET_CONTROL && remote.ign_set_control)
        return -1;
    return telnet_expect(&reader, command, value, length);
}

static bool any_refused()
{
    for (int number = 0; number < reader.request_count; number++)
        if (reader.outcome[number] == REQUEST_REFUSED)
            return true;
    return false;
}

static int remote_fail(const char *message)
{
    fputs(message, stderr);
    socket_close();
    return -1;
}

// The port could not be had: as for a local port that is missing or held.
static int remote_refused(const char *name)
{
    socket_close();
    return port_open_failed(name);
}

// The server closed before its first answer to a setting: it turned us away.
static int remote_busy(const char *name)
{
    port_reason_set("the server at %s:%s closed the connection: the port is busy there",
                    remote.host, remote.service);
    return remote_refused(name);
}

int remote_port_open(const char *name)
{
    last_operation = 0;
    last_failed = false;
    if (remote_address_parse(name, &remote) != 0) {
        port_reason_set("not a remote port name: rfc2217://HOST:PORT[?OPTION...]");
        return remote_refused(name);
    }
    if (socket_connect(remote.host, remote.service, remote.timeout_ms) != 0)
        return remote_refused(name);  // the socket layer says why
    telnet_reader_start(&reader);

    // Everything goes out in one write, so that the whole configuration
    // costs one round trip: the option, 9600 8N1, no flow control, then DTR
    // and RTS cleared.
    static const unsigned char BAUD_9600[] = {0x00, 0x00, 0x25, 0x80};
    static const unsigned char DATASIZE_8[] = {8}, PARITY[] = {PARITY_NONE},
                               STOPSIZE[] = {STOPSIZE_ONE}, NO_FLOW[] = {CONTROL_NO_FLOW},
                               DTR_OFF[] = {CONTROL_DTR_OFF}, RTS_OFF[] = {CONTROL_RTS_OFF};
    unsigned char requests[128] = {IAC, WILL, COM_PORT_OPTION};
    size_t length = 3;
    (void)request(requests, &length, SET_BAUDRATE, BAUD_9600, sizeof BAUD_9600);
    (void)request(requests, &length, SET_DATASIZE, DATASIZE_8, 1);
    (void)request(requests, &length, SET_PARITY, PARITY, 1);
    (void)request(requests, &length, SET_STOPSIZE, STOPSIZE, 1);
    (void)request(requests, &length, SET_CONTROL, NO_FLOW, 1);
    (void)request(requests, &length, SET_CONTROL, DTR_OFF, 1);
    (void)request(requests, &length, SET_CONTROL, RTS_OFF, 1);

    // A server that closes before its first answer to a setting has turned
    // us away: ser2net does so when another client has the port, and
    // sredird when it finds the port's lock file taken.
    int sent = socket_send(requests, length, remote.timeout_ms);
    int waited = sent == 0 ? remote_wait(UNTIL_OPTION)
                           : sent == SOCKET_TIMEOUT ? WAIT_TIMEOUT : WAIT_CLOSED;
    if (waited == WAIT_CLOSED)
        return remote_busy(name);
    if (waited == WAIT_TIMEOUT || reader.com_port < 0)
        return remote_fail(" unable to read DCB !\n");
    waited = remote_wait(UNTIL_ANSWERS);
    if (waited == WAIT_CLOSED && !reader.answered)
        return remote_busy(name);
    if (waited != WAIT_DONE || any_refused())
        return remote_fail("Unable to set DCB !\n");
    return 0;
}

static unsigned char control_value(int operation)
{
    switch (operation) {
    case SETDTR: return CONTROL_DTR_ON;
    case CLRDTR: return CONTROL_DTR_OFF;
    case SETRTS: return CONTROL_RTS_ON;
    default: return CONTROL_RTS_OFF;
    }
}

void remote_lines_change(int dtr_operation, int rts_operation, bool *dtr_failed, bool *rts_failed)
{
    // What arrived before these requests, an answer sent ahead of them
    // included, answers nothing of them: it is read and let go first, one
    // piece of it at most (after a hold, the hold has read the rest), so that
    // a server that floods us cannot hold up a clear.
    int waited = remote_read(clock_microseconds());

    // Both go out in one write, DTR's first: the server moves the lines one
    // after the other as it reads them, whenever its answers come, and each
    // line's hold counts from the write.
    const int operations[2] = {dtr_operation, rts_operation};
    int numbers[2] = {-1, -1};
    unsigned char buffer[32];
    size_t length = 0;
    for (int i = 0; i < 2; i++) {
        unsigned char control = control_value(operations[i]);
        if (operations[i] != 0)
            numbers[i] = request(buffer, &length, SET_CONTROL, &control, 1);
    }
    bool sent = waited == WAIT_DONE && socket_send(buffer, length, remote.timeout_ms) == 0;
    // Taken once the requests have left: no server can carry them out
    // sooner, so a hold counted from here is never short where the lines
    // are. A stamp taken before the send is early by however long the send
    // took, and the pulse short by as much.
    change_sent_us = clock_microseconds();
    waited = sent ? remote_wait(UNTIL_ANSWERS) : WAIT_CLOSED;

    // A request whose answer was not awaited counts as carried out once sent.
    bool *failed[2] = {dtr_failed, rts_failed};
    for (int i = 0; i < 2; i++) {
        *failed[i] = operations[i] != 0 &&
                     (numbers[i] < 0 ? waited == WAIT_CLOSED
                                     : reader.outcome[numbers[i]] != REQUEST_GRANTED);
        if (operations[i] != 0) {
            last_operation = operations[i];
            last_failed = *failed[i];
        }
    }
}

uint32_t remote_hold(uint32_t milliseconds)
{
    // The lines moved when the server read the requests, not when its
    // answers came: the hold ends that long after they went out, and what
    // the server sends meanwhile is read as it comes.
    uint64_t until = change_sent_us + uint64_t{milliseconds} * 1000u;
    if (remote_read(until) == WAIT_DONE)
        return 0;
    uint64_t now = clock_microseconds();
    return now < until ? static_cast<uint32_t>((until - now + 999) / 1000) : 0;
}

int remote_port_close()
{
    // Closing with answers or board output still unread sends the server a
    // reset, and a server may then drop requests it has not carried out yet.
    // Every request has been answered unless the answers to SET-CONTROL were
    // not waited for: then the last clear may still be on its way, so the
    // server is told the end and read until it closes. A server that does
    // not close in time may never have read it, and the run must say so.
    // What the lines do from then on is the server's: ser2net gives the port
    // back the lines and settings it found at its open.
    int result = 0;
    if (remote.ign_set_control && last_operation != 0) {
        uint32_t started = clock_milliseconds();
        long got = socket_shutdown() == 0 ? 1 : -1;
        uint32_t left;
        while (got > 0 && (left = milliseconds_left(started, remote.timeout_ms)) > 0)
            got = socket_receive(received, sizeof received, left);
        if (got != 0) {
            if (!last_failed)
                fprintf(stderr, "Unable to set %s mode !\n",
                        last_operation == SETDTR || last_operation == CLRDTR ? "DTR" : "RTS");
            result = -1;
        }
    }
    last_operation = 0;
    socket_close();
    return result;
}
