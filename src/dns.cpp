// DNS messages: names, queries, and answers walked as untrusted input.
#include "dns.h"

#include <cstring>

enum { CLASS_IN = 1, CLASS_MASK = 0x7FFF, FLAG_RESPONSE = 0x8000, OPCODE_RCODE = 0x780F };

static unsigned int read16(const unsigned char *at)
{
    return static_cast<unsigned int>(at[0]) << 8 | at[1];
}

static void write16(unsigned char *at, unsigned int value)
{
    at[0] = static_cast<unsigned char>(value >> 8);
    at[1] = static_cast<unsigned char>(value);
}

size_t dns_name_encode(const char *dotted, unsigned char *name)
{
    size_t length = 0;
    for (const char *label = dotted;;) {
        size_t size = strcspn(label, ".");
        if (size == 0 || size > DNS_LABEL_MAX || length + 1 + size + 1 > DNS_NAME_MAX)
            return 0;
        name[length++] = static_cast<unsigned char>(size);
        memcpy(name + length, label, size);
        length += size;
        if (label[size] == '\0')
            break;
        label += size + 1;
    }
    name[length++] = 0;
    return length;
}

size_t dns_name_length(const unsigned char *name)
{
    size_t length = 0;
    while (name[length] != 0)
        length += 1u + name[length];
    return length + 1;
}

static unsigned char fold(unsigned char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}

bool dns_name_equal(const unsigned char *a, const unsigned char *b)
{
    for (;;) {
        if (*a != *b)
            return false;
        size_t length = *a;
        if (length == 0)
            return true;
        for (size_t i = 1; i <= length; i++)
            if (fold(a[i]) != fold(b[i]))
                return false;
        a += length + 1;
        b += length + 1;
    }
}

size_t dns_query(unsigned char *packet, size_t capacity, uint16_t id, const DnsQuestion *questions,
                 int count, bool unicast)
{
    if (capacity < DNS_HEADER || count < 0 || count > 0xFFFF)
        return 0;
    memset(packet, 0, DNS_HEADER);
    write16(packet, id);
    write16(packet + 4, static_cast<unsigned int>(count));
    size_t at = DNS_HEADER;
    for (int i = 0; i < count; i++) {
        size_t length = dns_name_length(questions[i].name);
        if (length + 4 > capacity - at)
            return 0;
        memcpy(packet + at, questions[i].name, length);
        at += length;
        write16(packet + at, static_cast<unsigned int>(questions[i].type));
        write16(packet + at + 2, CLASS_IN | (unicast ? 0x8000u : 0));
        at += 4;
    }
    return at;
}

// Reads the name at `at` into out, uncompressed. Returns the offset just
// past the name where it stands, or 0 for a bad one: a label or pointer past
// the packet, a name longer than DNS_NAME_MAX, a reserved label type, or a
// pointer that does not lead back before every place the name has been read
// from (so that no pointer can loop).
static size_t name_read(const unsigned char *packet, size_t size, size_t at, unsigned char *out)
{
    size_t end = 0, length = 0, earliest = at;
    for (size_t position = at;;) {
        if (position >= size)
            return 0;
        unsigned int c = packet[position];
        if ((c & 0xC0) == 0xC0) {
            if (position + 1 >= size)
                return 0;
            size_t target = (c & 0x3Fu) << 8 | packet[position + 1];
            if (target >= earliest)
                return 0;
            end = end != 0 ? end : position + 2;
            earliest = position = target;
            continue;
        }
        if ((c & 0xC0) != 0 || c + 1 > size - position || length + 1 + c > DNS_NAME_MAX)
            return 0;
        memcpy(out + length, packet + position, c + 1);
        length += c + 1;
        position += c + 1;
        if (c == 0)
            return end != 0 ? end : position;
    }
}

// Reads one record at the message's place and moves past it. Returns 0, or
// -1 when it does not hold.
static int record_read(DnsMessage *message, DnsRecord *record)
{
    const unsigned char *packet = message->packet;
    size_t size = message->size;
    size_t at = name_read(packet, size, message->at, record->owner);
    if (at == 0 || 10 > size - at)
        return -1;
    bool internet = (read16(packet + at + 2) & CLASS_MASK) == CLASS_IN;  // the top bit flushes caches
    record->type = internet ? static_cast<int>(read16(packet + at)) : 0;
    record->ttl = static_cast<uint32_t>(read16(packet + at + 4)) << 16 | read16(packet + at + 6);
    record->length = read16(packet + at + 8);
    at += 10;
    if (record->length > size - at)
        return -1;
    record->data = packet + at;
    size_t end = at + record->length;
    record->name[0] = 0;
    record->port = 0;
    switch (record->type) {
    case DNS_PTR:
        if (name_read(packet, size, at, record->name) != end)
            return -1;
        break;
    case DNS_SRV:
        if (record->length < 7 || name_read(packet, size, at + 6, record->name) != end)
            return -1;
        record->port = static_cast<uint16_t>(read16(packet + at + 4));
        break;
    case DNS_A:
        if (record->length != 4)
            return -1;
        break;
    case DNS_TXT: {
        size_t next = 0;
        while (next < record->length && packet[at + next] + 1u <= record->length - next)
            next += packet[at + next] + 1u;
        if (next != record->length)
            return -1;
        break;
    }
    default: break;  // AAAA, NSEC and the rest: not ours to read
    }
    message->at = end;
    return 0;
}

static int question_read(DnsMessage *message, unsigned char *name, int *type)
{
    size_t at = name_read(message->packet, message->size, message->at, name);
    if (at == 0 || 4 > message->size - at)
        return -1;
    *type = static_cast<int>(read16(message->packet + at));
    message->at = at + 4;
    return 0;
}

static void rewind(DnsMessage *message)
{
    const unsigned char *packet = message->packet;
    message->at = DNS_HEADER;
    message->questions_left = message->question_count;
    message->records_left = read16(packet + 6) + read16(packet + 8) + read16(packet + 10);
}

int dns_message_open(DnsMessage *message, const unsigned char *packet, size_t size)
{
    if (size < DNS_HEADER || size > DNS_PACKET_MAX)
        return -1;
    message->packet = packet;
    message->size = size;
    message->id = static_cast<uint16_t>(read16(packet));
    message->response = (read16(packet + 2) & FLAG_RESPONSE) != 0 &&
                        (read16(packet + 2) & OPCODE_RCODE) == 0;
    message->question_count = read16(packet + 4);
    rewind(message);
    DnsRecord record;
    int type;
    while (message->questions_left > 0)
        if (dns_question_next(message, record.owner, &type) != 0)
            return -1;
    while (message->records_left > 0)
        if (dns_record_next(message, &record) != 0)
            return -1;
    if (message->at != size)
        return -1;
    rewind(message);
    return 0;
}

int dns_question_next(DnsMessage *message, unsigned char *name, int *type)
{
    if (message->questions_left == 0 || question_read(message, name, type) != 0)
        return -1;
    message->questions_left--;
    return 0;
}

int dns_record_next(DnsMessage *message, DnsRecord *record)
{
    int type;
    while (message->questions_left > 0)
        if (dns_question_next(message, record->owner, &type) != 0)
            return -1;
    if (message->records_left == 0 || record_read(message, record) != 0)
        return -1;
    message->records_left--;
    return 0;
}

size_t dns_txt_next(const DnsRecord *record, size_t at, const unsigned char **text,
                    size_t *length)
{
    if (at >= record->length)
        return 0;
    *length = record->data[at];
    *text = record->data + at + 1;
    return at + 1 + *length;
}
