// The remote port: RFC 2217 over Telnet, as ser2net and serial device
// servers speak it, and as pyserial's and esptool's clients name it.
#include "rfc2217.h"

#include "serial_port.h"
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

// A refusal is a courtesy; when the server offers faster than it reads, the
// ones that do not fit are dropped rather than queued without bound.
static void reply(TelnetReader *reader, int command, int option)
{
    if (reader->reply_length + 3 > sizeof reader->reply)
        return;
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
    // Whatever else the server offers or asks for, we neither do nor want.
    if (command == DO)
        reply(reader, WONT, option);
    else if (command == WILL)
        reply(reader, DONT, option);
}

static void subnegotiation_end(TelnetReader *reader)
{
    if (reader->option != COM_PORT_OPTION || reader->length == 0)
        return;
    int command = reader->sub[0] - SERVER_ANSWER;
    if (command < SET_BAUDRATE || command > SET_CONTROL)
        return;  // notifications and answers to what we never ask
    size_t length = reader->length - 1;
    reader->answers[command]++;
    reader->answer_length[command] = length;
    memcpy(reader->answer[command], reader->sub + 1,
           length < sizeof reader->answer[0] ? length : sizeof reader->answer[0]);
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

void telnet_read(TelnetReader *reader, const unsigned char *data, size_t size)
{
    for (size_t i = 0; i < size; i++) {
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
}

// The connection's state for the run: its address, what the server has
// said, and how many of each request it has been sent.
static RemoteAddress remote;
static TelnetReader reader;
static int asked[6];
static unsigned char wanted[6][COM_PORT_VALUE_MAX];
static size_t wanted_length[6];

// Outcomes of a wait for the server.
enum { WAIT_DONE = 0, WAIT_TIMEOUT = -1, WAIT_CLOSED = -2 };
enum { UNTIL_OPTION, UNTIL_ANSWERS };

static bool waited_for(int until)
{
    if (until == UNTIL_OPTION)
        return reader.com_port != 0;
    for (int command = SET_BAUDRATE; command <= SET_CONTROL; command++)
        if (reader.answers[command] < asked[command] &&
            !(command == SET_CONTROL && remote.ign_set_control))
            return false;
    return true;
}

// Reads and takes apart what the server sends until the awaited answers are
// in, or the time is up. Data, offers and notifications may come first and
// in any amount: each is read and let go at once.
static int remote_wait(int until)
{
    uint32_t started = clock_milliseconds();
    while (!waited_for(until)) {
        uint32_t left = milliseconds_left(started, remote.timeout_ms);
        if (left == 0)
            return WAIT_TIMEOUT;
        unsigned char data[TELNET_REPLY_CAPACITY];
        long got = socket_receive(data, sizeof data, left);
        if (got == SOCKET_TIMEOUT)
            return WAIT_TIMEOUT;
        if (got <= 0)
            return WAIT_CLOSED;
        telnet_read(&reader, data, static_cast<size_t>(got));
        if (reader.reply_length > 0) {
            left = milliseconds_left(started, remote.timeout_ms);
            if (left == 0 || socket_send(reader.reply, reader.reply_length, left) != 0)
                return WAIT_CLOSED;
            reader.reply_length = 0;
        }
    }
    return WAIT_DONE;
}

// Appends one COM-PORT-OPTION request to buffer. None of our values holds
// the byte 255, which would have to be doubled.
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
    asked[command]++;
    memcpy(wanted[command], value, length);
    wanted_length[command] = length;
    return at;
}

static bool settings_as_asked()
{
    for (int command = SET_BAUDRATE; command < SET_CONTROL; command++)
        if (reader.answer_length[command] != wanted_length[command] ||
            memcmp(reader.answer[command], wanted[command], wanted_length[command]) != 0)
            return false;
    return true;
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
    if (remote_address_parse(name, &remote) != 0 ||
        socket_connect(remote.host, remote.service, remote.timeout_ms) != 0)
        return remote_refused(name);
    telnet_reader_start(&reader);
    memset(asked, 0, sizeof asked);

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
    // us away: ser2net does so when another client has the port.
    int waited = socket_send(requests, length, remote.timeout_ms) == 0 ? remote_wait(UNTIL_OPTION)
                                                                        : WAIT_CLOSED;
    if (waited == WAIT_CLOSED)
        return remote_refused(name);
    if (waited == WAIT_TIMEOUT || reader.com_port < 0)
        return remote_fail(" unable to read DCB !\n");
    waited = remote_wait(UNTIL_ANSWERS);
    bool answered = false;
    for (int command = SET_BAUDRATE; command <= SET_CONTROL; command++)
        answered = answered || reader.answers[command] > 0;
    if (waited == WAIT_CLOSED && !answered)
        return remote_refused(name);
    if (waited != WAIT_DONE || !settings_as_asked())
        return remote_fail("Unable to set DCB !\n");
    return 0;
}

int remote_line_change(int operation)
{
    unsigned char control;
    switch (operation) {
    case SETDTR: control = CONTROL_DTR_ON; break;
    case CLRDTR: control = CONTROL_DTR_OFF; break;
    case SETRTS: control = CONTROL_RTS_ON; break;
    default: control = CONTROL_RTS_OFF; break;
    }
    unsigned char buffer[16];
    size_t length = request(buffer, 0, SET_CONTROL, &control, 1);
    // The value of a SET-CONTROL answer is not looked at: some servers
    // answer every such request with one fixed value.
    if (socket_send(buffer, length, remote.timeout_ms) != 0)
        return -1;
    return remote_wait(UNTIL_ANSWERS) == WAIT_DONE ? 0 : -1;
}

void remote_port_close()
{
    // Closing with answers or board output still unread sends the server a
    // reset, and a server may then drop requests it has not carried out yet.
    // Every request has been answered unless the answers to SET-CONTROL were
    // not waited for: then the last clear may still be on its way, so the
    // server is told the end and read until it closes. What the lines do
    // from then on is the server's: ser2net gives the port back the lines
    // and settings it found at its open.
    uint32_t started = clock_milliseconds();
    if (remote.ign_set_control && socket_shutdown() == 0) {
        unsigned char data[TELNET_REPLY_CAPACITY];
        uint32_t left;
        while ((left = milliseconds_left(started, remote.timeout_ms)) > 0 &&
               socket_receive(data, sizeof data, left) > 0) {
        }
    }
    socket_close();
}
