// The remote port: RFC 2217 over Telnet, as ser2net and serial device
// servers speak it, and as pyserial's and esptool's clients name it.
#include "rfc2217.h"

#include "lines.h"
#include "socket.h"

#include <cstdio>
#include <cstring>

enum {
    IAC = 255, DONT = 254, DO = 253, WONT = 252, WILL = 251, SB = 250, SE = 240,
    COM_PORT_OPTION = 44,
    SET_BAUDRATE = 1, SET_DATASIZE = 2, SET_PARITY = 3, SET_STOPSIZE = 4, SET_CONTROL = 5,
    SERVER_ANSWER = 100,  // a server answers command N with N + 100
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
    for (size_t i = 0; SCHEME[i] != '\0'; i++) {
        char c = name[i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        if (c != SCHEME[i])
            return false;
    }
    return true;
}

// A positive finite number of seconds, fractions allowed, in milliseconds
// rounded up; longer than about 24 days is taken as that.
static int timeout_parse(const char *text, size_t length, uint32_t *milliseconds)
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
        return timeout_parse(text + 8, length - 8, &address->timeout_ms);
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

// The server's bytes, one state at a time.
enum { READ_DATA, READ_IAC, READ_OPTION, READ_SB_OPTION, READ_SB, READ_SB_IAC };

void telnet_reader_start(TelnetReader *reader)
{
    memset(reader, 0, sizeof *reader);
}

// Whatever else the server offers or asks for, we neither do nor want. The
// caller sends the queue before it can overflow (telnet_read stops then).
static void reply(TelnetReader *reader, int command, int option)
{
    reader->reply[reader->reply_length++] = IAC;
    reader->reply[reader->reply_length++] = static_cast<unsigned char>(command);
    reader->reply[reader->reply_length++] = static_cast<unsigned char>(option);
}

static void option_offer(TelnetReader *reader, int command, int option)
{
    if (option == COM_PORT_OPTION && (command == DO || command == DONT)) {
        reader->com_port = command == DO ? 1 : -1;
        return;
    }
    if (command == DO)
        reply(reader, WONT, option);
    else if (command == WILL)
        reply(reader, DONT, option);
}

// What a SET-CONTROL value is about: the other values of its group are the
// other states of the same thing (RFC 2217's list, requests of a state
// included); a value we do not know is a thing of its own.
static int control_group(int value)
{
    if (value <= 3 || value == 17 || value == 19)
        return 0;  // outbound flow control
    if (value <= 6)
        return 1;  // BREAK
    if (value <= 9)
        return 2;  // DTR
    if (value <= 12)
        return 3;  // RTS
    if (value <= 16 || value == 18)
        return 4;  // inbound flow control
    return value;
}

// Whether an answer grants the request. Servers may send more than the
// value (sredird follows a baud rate with four zero bytes): the first bytes
// are what counts. A SET-CONTROL answer about something else altogether is
// taken as an answer all the same, since some servers answer every such
// request with one fixed value; one naming another state of the same thing
// is a refusal.
static bool answer_grants(int command, const unsigned char *asked, size_t asked_length,
                          const unsigned char *answer, size_t answer_length)
{
    if (answer_length < asked_length)
        return false;
    if (memcmp(answer, asked, asked_length) == 0)
        return true;
    return command == SET_CONTROL && control_group(answer[0]) != control_group(asked[0]);
}

static void subnegotiation_end(TelnetReader *reader)
{
    if (reader->option != COM_PORT_OPTION || reader->length == 0)
        return;
    int command = reader->sub[0] - SERVER_ANSWER;
    if (command < SET_BAUDRATE || command > SET_CONTROL || reader->pending_count[command] == 0)
        return;  // notifications, and answers to nothing we are waiting for
    if (!answer_grants(command, reader->pending[command][0], reader->pending_length[command][0],
                       reader->sub + 1, reader->length - 1))
        reader->refused[command] = true;
    reader->answered = true;
    size_t left = --reader->pending_count[command];
    memmove(reader->pending[command][0], reader->pending[command][1],
            left * sizeof reader->pending[0][0]);
    memmove(&reader->pending_length[command][0], &reader->pending_length[command][1],
            left * sizeof reader->pending_length[0][0]);
}

int telnet_expect(TelnetReader *reader, int command, const unsigned char *value, size_t length)
{
    size_t at = reader->pending_count[command];
    if (at == PENDING_MAX || length > COM_PORT_VALUE_MAX)
        return -1;
    memcpy(reader->pending[command][at], value, length);
    reader->pending_length[command][at] = length;
    reader->pending_count[command]++;
    return 0;
}

static void telnet_command(TelnetReader *reader, int byte)
{
    if (byte == WILL || byte == WONT || byte == DO || byte == DONT) {
        reader->command = byte;
        reader->state = READ_OPTION;
    } else if (byte == SB) {
        reader->state = READ_SB_OPTION;
    } else {
        reader->state = READ_DATA;  // IAC IAC is a data byte; the rest mean nothing here
    }
}

static void sub_byte(TelnetReader *reader, int byte)
{
    if (reader->length < sizeof reader->sub)
        reader->sub[reader->length] = static_cast<unsigned char>(byte);
    if (reader->length < sizeof reader->sub + 1)
        reader->length++;  // anything longer only needs to be known as longer
    reader->state = READ_SB;
}

size_t telnet_read(TelnetReader *reader, const unsigned char *data, size_t size)
{
    for (size_t i = 0; i < size; i++) {
        if (reader->reply_length + 3 > sizeof reader->reply)
            return i;
        int byte = data[i];
        switch (reader->state) {
        case READ_DATA:
            if (byte == IAC)
                reader->state = READ_IAC;
            break;
        case READ_IAC:
            telnet_command(reader, byte);
            break;
        case READ_OPTION:
            option_offer(reader, reader->command, byte);
            reader->state = READ_DATA;
            break;
        case READ_SB_OPTION:
            reader->option = byte;
            reader->length = 0;
            reader->state = READ_SB;
            break;
        case READ_SB:
            if (byte == IAC)
                reader->state = READ_SB_IAC;
            else
                sub_byte(reader, byte);
            break;
        default:  // READ_SB_IAC
            if (byte == IAC) {
                sub_byte(reader, byte);
            } else if (byte == SE) {
                subnegotiation_end(reader);
                reader->state = READ_DATA;
            } else {
                // A command inside a subnegotiation ends it unread.
                telnet_command(reader, byte);
            }
            break;
        }
    }
    return size;
}

// The connection's state for the run: its address, what the server has
// said, and the last line change with whether it failed.
static RemoteAddress remote;
static TelnetReader reader;
static int last_operation;
static bool last_failed;

// Outcomes of a wait for the server.
enum { WAIT_DONE = 0, WAIT_TIMEOUT = -1, WAIT_CLOSED = -2 };
enum { UNTIL_OPTION, UNTIL_ANSWERS, UNTIL_NOTHING_WAITING };

static bool waited_for(int until)
{
    if (until == UNTIL_OPTION)
        return reader.com_port != 0;
    // UNTIL_ANSWERS: every request expected has had its answer.
    for (int command = SET_BAUDRATE; command <= SET_CONTROL; command++)
        if (reader.pending_count[command] > 0)
            return false;
    return true;
}

// Takes in what was received, sending the refusals it calls for as they
// come, within what is left of the wait.
static int remote_take(const unsigned char *data, size_t size, uint32_t started)
{
    for (size_t taken = 0; taken < size || reader.reply_length > 0;) {
        taken += telnet_read(&reader, data + taken, size - taken);
        if (reader.reply_length == 0)
            continue;
        uint32_t left = milliseconds_left(started, remote.timeout_ms);
        int sent = left == 0 ? SOCKET_TIMEOUT : socket_send(reader.reply, reader.reply_length, left);
        if (sent != 0)
            return sent == SOCKET_TIMEOUT ? WAIT_TIMEOUT : WAIT_CLOSED;
        reader.reply_length = 0;
    }
    return WAIT_DONE;
}

// Reads and takes apart what the server sends until the awaited answers are
// in, or the time is up. Data, offers and notifications may come first and
// in any amount: each is read and let go at once. UNTIL_NOTHING_WAITING
// reads what has arrived already, for at most the time-out should a board
// talk faster than it can be read.
static int remote_wait(int until)
{
    bool draining = until == UNTIL_NOTHING_WAITING;
    uint32_t started = clock_milliseconds();
    for (;;) {
        if (!draining && waited_for(until))
            return WAIT_DONE;
        uint32_t left = milliseconds_left(started, remote.timeout_ms);
        unsigned char data[TELNET_REPLY_CAPACITY];
        long got = left == 0 ? long{SOCKET_TIMEOUT}
                             : socket_receive(data, sizeof data, draining ? 0 : left);
        if (got == SOCKET_TIMEOUT)
            return draining ? WAIT_DONE : WAIT_TIMEOUT;
        if (got <= 0)
            return WAIT_CLOSED;
        int taken = remote_take(data, static_cast<size_t>(got), started);
        if (taken != WAIT_DONE)
            return taken;
    }
}

// Appends one COM-PORT-OPTION request to buffer, and expects its answer
// unless SET-CONTROL answers go unread. None of our values holds the byte
// 255, which would have to be doubled.
static size_t request(unsigned char *buffer, size_t at, int command, const unsigned char *value,
                      size_t length)
{
    static const unsigned char HEAD[] = {IAC, SB, COM_PORT_OPTION};
    memcpy(buffer + at, HEAD, sizeof HEAD);
    at += sizeof HEAD;
    buffer[at++] = static_cast<unsigned char>(command);
    memcpy(buffer + at, value, length);
    at += length;
    buffer[at++] = IAC;
    buffer[at++] = SE;
    // At most three of one command are ever unanswered, which the reader holds.
    if (!(command == SET_CONTROL && remote.ign_set_control))
        (void)telnet_expect(&reader, command, value, length);
    return at;
}

static bool any_refused()
{
    for (int command = SET_BAUDRATE; command <= SET_CONTROL; command++)
        if (reader.refused[command])
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
    fprintf(stderr, "Unable to open Serial Port '%s'.\n", name);
    return -1;
}

int remote_port_open(const char *name)
{
    last_operation = 0;
    last_failed = false;
    if (remote_address_parse(name, &remote) != 0 ||
        socket_connect(remote.host, remote.service, remote.timeout_ms) != 0)
        return remote_refused(name);
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
    length = request(requests, length, SET_BAUDRATE, BAUD_9600, sizeof BAUD_9600);
    length = request(requests, length, SET_DATASIZE, DATASIZE_8, 1);
    length = request(requests, length, SET_PARITY, PARITY, 1);
    length = request(requests, length, SET_STOPSIZE, STOPSIZE, 1);
    length = request(requests, length, SET_CONTROL, NO_FLOW, 1);
    length = request(requests, length, SET_CONTROL, DTR_OFF, 1);
    length = request(requests, length, SET_CONTROL, RTS_OFF, 1);

    // A server that closes before its first answer to a setting has turned
    // us away: ser2net does so when another client has the port, and
    // sredird when it finds the port's lock file taken.
    int sent = socket_send(requests, length, remote.timeout_ms);
    int waited = sent == 0 ? remote_wait(UNTIL_OPTION)
                           : sent == SOCKET_TIMEOUT ? WAIT_TIMEOUT : WAIT_CLOSED;
    if (waited == WAIT_CLOSED)
        return remote_refused(name);
    if (waited == WAIT_TIMEOUT || reader.com_port < 0)
        return remote_fail(" unable to read DCB !\n");
    waited = remote_wait(UNTIL_ANSWERS);
    if (waited == WAIT_CLOSED && !reader.answered)
        return remote_refused(name);
    if (waited != WAIT_DONE || any_refused())
        return remote_fail("Unable to set DCB !\n");
    return 0;
}

static int line_request(int operation)
{
    unsigned char control;
    switch (operation) {
    case SETDTR: control = CONTROL_DTR_ON; break;
    case CLRDTR: control = CONTROL_DTR_OFF; break;
    case SETRTS: control = CONTROL_RTS_ON; break;
    default: control = CONTROL_RTS_OFF; break;
    }
    // Whatever arrived before this request, an answer sent ahead of it
    // included, answers nothing of it: it is read and let go first.
    if (remote_wait(UNTIL_NOTHING_WAITING) != WAIT_DONE)
        return -1;
    reader.refused[SET_CONTROL] = false;
    unsigned char buffer[16];
    size_t length = request(buffer, 0, SET_CONTROL, &control, 1);
    if (socket_send(buffer, length, remote.timeout_ms) != 0)
        return -1;
    return remote_wait(UNTIL_ANSWERS) == WAIT_DONE && !reader.refused[SET_CONTROL] ? 0 : -1;
}

int remote_line_change(int operation)
{
    last_operation = operation;
    last_failed = line_request(operation) != 0;
    return last_failed ? -1 : 0;
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
        unsigned char data[TELNET_REPLY_CAPACITY];
        uint32_t left;
        while (got > 0 && (left = milliseconds_left(started, remote.timeout_ms)) > 0)
            got = socket_receive(data, sizeof data, left);
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
