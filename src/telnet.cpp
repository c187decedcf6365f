// The Telnet side of a remote port: the server's bytes, one state at a time.
#include "telnet.h"

#include <cstring>

enum { READ_DATA, READ_IAC, READ_OPTION, READ_SB_OPTION, READ_SB, READ_SB_IAC };

void telnet_reader_start(TelnetReader *reader)
{
    memset(reader, 0, sizeof *reader);
}

// Whatever else the server offers or asks for, we neither do nor want. The
// caller sends the queue before it can overflow (telnet_read stops then).
static void reply(TelnetReader *reader, int command, int option)
{
    unsigned char *refusal = reader->reply + reader->reply_length;
    refusal[0] = IAC;
    refusal[1] = static_cast<unsigned char>(command);
    refusal[2] = static_cast<unsigned char>(option);
    memcpy(reader->refused, refusal, sizeof reader->refused);
    reader->reply_length += sizeof reader->refused;
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
    const TelnetReader::Pending *oldest = &reader->pending[command][0];
    bool granted = answer_grants(command, oldest->value, oldest->length, reader->sub + 1,
                                 reader->length - 1);
    reader->outcome[oldest->number] = granted ? REQUEST_GRANTED : REQUEST_REFUSED;
    reader->answered = true;
    size_t left = --reader->pending_count[command];
    memmove(&reader->pending[command][0], &reader->pending[command][1],
            left * sizeof reader->pending[0][0]);
}

int telnet_expect(TelnetReader *reader, int command, const unsigned char *value, size_t length)
{
    size_t at = reader->pending_count[command];
    if (at == PENDING_MAX || length > COM_PORT_VALUE_MAX || reader->request_count == REQUESTS_MAX)
        return -1;
    TelnetReader::Pending *request = &reader->pending[command][at];
    memcpy(request->value, value, length);
    request->length = length;
    request->number = reader->request_count;
    reader->outcome[reader->request_count] = REQUEST_WAITING;
    reader->pending_count[command]++;
    return reader->request_count++;
}

bool telnet_all_answered(const TelnetReader *reader)
{
    for (int command = SET_BAUDRATE; command <= SET_CONTROL; command++)
        if (reader->pending_count[command] > 0)
            return false;
    return true;
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
