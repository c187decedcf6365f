// Fuzzes what the port names and a remote port take from outside: a
// server's bytes, through the Telnet reader, the remote port name, and a
// search's pattern, which must never crash nor outlast its text. The reader, expecting the answers
// to an open's requests, must come to the same state and send the same
// refusals whichever way the bytes are split into reads, stay within its
// buffers, queue only refusals, and never let an answer count for more
// requests than were sent.
#include "pattern.h"
#include "rfc2217.h"
#include "telnet.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

static bool same_state(const TelnetReader &a, const TelnetReader &b)
{
    if (a.state != b.state || a.com_port != b.com_port || a.answered != b.answered ||
        a.request_count != b.request_count)
        return false;
    for (int command = 1; command <= 5; command++)
        if (a.pending_count[command] != b.pending_count[command])
            return false;
    return memcmp(a.outcome, b.outcome, sizeof a.outcome) == 0;
}

// Feeds the bytes in pieces of the given size, sending the refusals as a
// connection would: whenever the reader stops for them, and after each piece.
static std::string feed(TelnetReader *reader, const uint8_t *data, size_t size, size_t piece)
{
    static const unsigned char BAUD[] = {0, 0, 0x25, 0x80}, EIGHT[] = {8}, ONE[] = {1},
                               DTR_OFF[] = {9}, RTS_OFF[] = {12};
    telnet_reader_start(reader);
    telnet_expect(reader, 1, BAUD, 4);
    telnet_expect(reader, 2, EIGHT, 1);
    telnet_expect(reader, 3, ONE, 1);
    telnet_expect(reader, 4, ONE, 1);
    telnet_expect(reader, 5, ONE, 1);
    telnet_expect(reader, 5, DTR_OFF, 1);
    telnet_expect(reader, 5, RTS_OFF, 1);
    std::string sent;
    for (size_t at = 0; at < size; at += piece) {
        size_t length = size - at < piece ? size - at : piece;
        for (size_t taken = 0; taken < length || reader->reply_length > 0;) {
            taken += telnet_read(reader, data + at + taken, length - taken);
            if (reader->reply_length > sizeof reader->reply || reader->reply_length % 3 != 0)
                abort();
            sent.append(reinterpret_cast<const char *>(reader->reply), reader->reply_length);
            reader->reply_length = 0;
        }
    }
    return sent;
}

static void check_reader(const uint8_t *data, size_t size, uint8_t step)
{
    TelnetReader whole, pieces;
    std::string sent = feed(&whole, data, size, size > 0 ? size : 1);
    if (feed(&pieces, data, size, step % 7 + 1) != sent || !same_state(whole, pieces) ||
        whole.com_port < -1 || whole.com_port > 1 || whole.pending_count[5] > 3)
        abort();
    for (int command = 1; command <= 4; command++)
        if (whole.pending_count[command] > 1)
            abort();
    for (size_t at = 0; at < sent.size(); at += 3)
        if (static_cast<unsigned char>(sent[at]) != 255 ||
            (static_cast<unsigned char>(sent[at + 1]) != 252 &&
             static_cast<unsigned char>(sent[at + 1]) != 254))
            abort();
}

static void check_name(const std::string &name)
{
    RemoteAddress address;
    if (remote_address_parse(name.c_str(), &address) != 0)
        return;
    size_t host = strlen(address.host);
    unsigned long port = strtoul(address.service, nullptr, 10);
    if (strlen(name.c_str()) > REMOTE_NAME_MAX || host == 0 || host > REMOTE_HOST_MAX || port == 0 ||
        port > 65535 || address.timeout_ms == 0 || !remote_port_name(name.c_str()))
        abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    check_reader(data + 1, size - 1, data[0]);
    std::string text(reinterpret_cast<const char *>(data + 1), size - 1);
    check_name("rfc2217://" + text);
    // Bytes of any kind, in either reading, in the pattern and in the text.
    (void)pattern_search(text.c_str(), "Caf\xc3\xa9 \xff USB VID:PID=0403:6001 SER=A10K3JQ4", true);
    (void)pattern_search(text.c_str(), "Caf\xe9 USB VID:PID=0403:6001 SER=A10K3JQ4A", false);
    return 0;
}
