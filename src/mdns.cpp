// mDNS answers, taken apart as untrusted input: a packet is walked once to
// check that every name, length and count in it holds, and only then once
// more to keep what it says.
#include "mdns.h"

#include <cstring>

enum { HEADER = 12, CLASS_IN = 1, FLAG_RESPONSE = 0x8000, RCODE_MASK = 0x000F };

static unsigned int read16(const unsigned char *at)
{
    return static_cast<unsigned int>(at[0]) << 8 | at[1];
}

static void write16(unsigned char *at, unsigned int value)
{
    at[0] = static_cast<unsigned char>(value >> 8);
    at[1] = static_cast<unsigned char>(value);
}

size_t mdns_name_encode(const char *dotted, unsigned char *name)
{
    size_t length = 0;
    for (const char *label = dotted;;) {
        size_t size = strcspn(label, ".");
        if (size == 0 || size > MDNS_LABEL_MAX || length + 1 + size + 1 > MDNS_NAME_MAX)
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

// The length of a name in DNS's form, its final 0 included.
static size_t name_length(const unsigned char *name)
{
    size_t length = 0;
    while (name[length] != 0)
        length += 1u + name[length];
    return length + 1;
}

size_t mdns_query(unsigned char *packet, size_t capacity, uint16_t id,
                  const unsigned char *const *names, const int *types, int count)
{
    if (capacity < HEADER || count < 0 || count > 0xFFFF)
        return 0;
    memset(packet, 0, HEADER);
    write16(packet, id);
    write16(packet + 4, static_cast<unsigned int>(count));
    size_t at = HEADER;
    for (int i = 0; i < count; i++) {
        size_t length = name_length(names[i]);
        if (length + 4 > capacity - at)
            return 0;
        memcpy(packet + at, names[i], length);
        at += length;
        write16(packet + at, static_cast<unsigned int>(types[i]));
        write16(packet + at + 2, CLASS_IN);
        at += 4;
    }
    return at;
}

// Reads the name at `at` into out, uncompressed. Returns the offset just
// past the name where it stands, or 0 for a bad one: a label or pointer past
// the packet, a name longer than MDNS_NAME_MAX, a reserved label type, or a
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
        if ((c & 0xC0) != 0 || c + 1 > size - position || length + 1 + c > MDNS_NAME_MAX)
            return 0;
        memcpy(out + length, packet + position, c + 1);
        length += c + 1;
        position += c + 1;
        if (c == 0)
            return end != 0 ? end : position;
    }
}

static unsigned char fold(unsigned char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}

// Whether two names in DNS's form are the same, ASCII case ignored.
static bool name_equal(const unsigned char *a, const unsigned char *b)
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

// Whether a name is an instance of the service type: one label of text,
// then the type.
static bool instance_of(const unsigned char *name, const unsigned char *type)
{
    return name[0] != 0 && memchr(name + 1, 0, name[0]) == nullptr &&
           name_equal(name + 1 + name[0], type);
}

// The service of that name, added when it is new and there is room; nullptr
// when the name is no instance of the type or there is no room.
static MdnsService *service_of(MdnsAnswers *answers, const unsigned char *name,
                               const unsigned char *type)
{
    if (!instance_of(name, type))
        return nullptr;
    for (size_t i = 0; i < answers->service_count; i++)
        if (name_equal(answers->services[i].name, name))
            return &answers->services[i];
    if (answers->service_count == MDNS_SERVICES_MAX)
        return nullptr;
    MdnsService *service = &answers->services[answers->service_count++];
    memset(service, 0, sizeof *service);
    memcpy(service->name, name, name_length(name));
    memcpy(service->instance, name + 1, name[0]);
    return service;
}

// TXT strings as KEY=VALUE texts, each ended by a 0; a string that holds a
// 0 itself, or no longer fits, is left out. False when the strings do not
// fill the record exactly.
static bool txt_read(const unsigned char *data, size_t length, MdnsService *service)
{
    size_t kept = 0;
    for (size_t at = 0; at < length;) {
        size_t size = data[at];
        if (size + 1 > length - at)
            return false;
        const unsigned char *text = data + at + 1;
        if (service != nullptr && size > 0 && memchr(text, 0, size) == nullptr &&
            size + 1 <= MDNS_TXT_MAX - kept) {
            memcpy(service->txt + kept, text, size);
            kept += size;
            service->txt[kept++] = '\0';
        }
        at += size + 1;
    }
    if (service != nullptr) {
        service->has_txt = true;
        service->txt_length = kept;
    }
    return true;
}

static void host_add(MdnsAnswers *answers, const unsigned char *name, const unsigned char *data)
{
    uint32_t address;
    memcpy(&address, data, 4);
    for (size_t i = 0; i < answers->host_count; i++)
        if (answers->hosts[i].address == address && name_equal(answers->hosts[i].name, name))
            return;
    if (answers->host_count == MDNS_HOSTS_MAX)
        return;
    MdnsHost *host = &answers->hosts[answers->host_count++];
    memcpy(host->name, name, name_length(name));
    host->address = address;
}

// Checks one record's data, and keeps what it says when answers is given.
static bool record_read(const unsigned char *packet, size_t size, size_t at, size_t length,
                        int type, const unsigned char *owner, const unsigned char *service_type,
                        MdnsAnswers *answers)
{
    unsigned char name[MDNS_NAME_MAX];
    size_t end = at + length;
    switch (type) {
    case DNS_PTR:
        if (name_read(packet, size, at, name) != end)
            return false;
        if (answers != nullptr && name_equal(owner, service_type))
            (void)service_of(answers, name, service_type);
        return true;
    case DNS_SRV: {
        if (length < 7 || name_read(packet, size, at + 6, name) != end)
            return false;
        MdnsService *service = answers != nullptr ? service_of(answers, owner, service_type) : nullptr;
        if (service != nullptr) {
            service->has_srv = true;
            service->port = static_cast<uint16_t>(read16(packet + at + 4));
            memcpy(service->target, name, name_length(name));
        }
        return true;
    }
    case DNS_TXT:
        return txt_read(packet + at, length,
                        answers != nullptr ? service_of(answers, owner, service_type) : nullptr);
    case DNS_A:
        if (length != 4)
            return false;
        if (answers != nullptr)
            host_add(answers, owner, packet + at);
        return true;
    default: return true;  // AAAA, NSEC and the rest: not ours to read
    }
}

// Walks the packet: with answers nullptr only checking it, otherwise also
// keeping what it says. Returns 0, or -1 for a packet that does not hold.
static int packet_walk(const unsigned char *packet, size_t size, const unsigned char *service_type,
                       MdnsAnswers *answers)
{
    unsigned char name[MDNS_NAME_MAX];
    size_t at = HEADER;
    for (unsigned int i = read16(packet + 4); i > 0; i--) {
        at = name_read(packet, size, at, name);
        if (at == 0 || 4 > size - at)
            return -1;
        at += 4;
    }
    unsigned int records = read16(packet + 6) + read16(packet + 8) + read16(packet + 10);
    for (; records > 0; records--) {
        at = name_read(packet, size, at, name);
        if (at == 0 || 10 > size - at)
            return -1;
        int type = static_cast<int>(read16(packet + at));
        bool internet = (read16(packet + at + 2) & 0x7FFFu) == CLASS_IN;  // the top bit flushes caches
        size_t length = read16(packet + at + 8);
        at += 10;
        if (length > size - at ||
            !record_read(packet, size, at, length, internet ? type : 0, name, service_type,
                         answers))
            return -1;
        at += length;
    }
    return at == size ? 0 : -1;
}

int mdns_answers_take(MdnsAnswers *answers, const unsigned char *packet, size_t size,
                      uint16_t id, int question_count, const unsigned char *service_type)
{
    if (size < HEADER || size > MDNS_PACKET_MAX || read16(packet) != id ||
        (read16(packet + 2) & FLAG_RESPONSE) == 0 || (read16(packet + 2) & RCODE_MASK) != 0 ||
        static_cast<int>(read16(packet + 4)) != question_count)
        return -1;
    if (packet_walk(packet, size, service_type, nullptr) != 0)
        return -1;
    return packet_walk(packet, size, service_type, answers);
}
