// Fuzzes what a remote port takes from outside: a server's bytes, through
// the Telnet reader, and the port name. The reader must come to the same
// state whichever way the bytes are split into reads, stay within its
// buffers, and queue only refusals.
#include "rfc2217.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

static bool same_state(const TelnetReader &a, const TelnetReader &b)
{
    if (a.state != b.state || a.com_port != b.com_port || a.reply_length != b.reply_length ||
        memcmp(a.reply, b.reply, a.reply_length) != 0)
        return false;
    for (int command = 1; command <= 5; command++) {
        size_t kept = a.answer_length[command] < sizeof a.answer[0] ? a.answer_length[command]
                                                                     : sizeof a.answer[0];
        if (a.answers[command] != b.answers[command] ||
            a.answer_length[command] != b.answer_length[command] ||
            memcmp(a.answer[command], b.answer[command], kept) != 0)
            return false;
    }
    return true;
}

static void check_reader(const uint8_t *data, size_t size, uint8_t step)
{
    TelnetReader whole, pieces;
    telnet_reader_start(&whole);
    telnet_reader_start(&pieces);
    telnet_read(&whole, data, size);
    size_t piece = step % 7 + 1;
    for (size_t at = 0; at < size; at += piece)
        telnet_read(&pieces, data + at, size - at < piece ? size - at : piece);
    if (!same_state(whole, pieces) || whole.reply_length > sizeof whole.reply ||
        whole.reply_length % 3 != 0 || whole.com_port < -1 || whole.com_port > 1)
        abort();
    for (size_t at = 0; at < whole.reply_length; at += 3)
        if (whole.reply[at] != 255 || (whole.reply[at + 1] != 252 && whole.reply[at + 1] != 254))
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
    check_name("rfc2217://" + std::string(reinterpret_cast<const char *>(data + 1), size - 1));
    return 0;
}
