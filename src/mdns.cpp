// Boards found on the network: the query, its answers taken apart as
// untrusted input (a packet is walked once to check that every name, length
// and count in it holds, and only then once more to keep what it says), and
// the choice among the services they tell of.
#include "mdns.h"

#include "pattern.h"
#include "port_list.h"
#include "port_search.h"
#include "rfc2217.h"
#include "socket.h"

#include <cstdio>
#include <cstdlib>
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
                               const unsigned char *type, uint32_t source)
{
    if (!instance_of(name, type))
        return nullptr;
    for (size_t i = 0; i < answers->service_count; i++)
        if (answers->services[i].source == source && name_equal(answers->services[i].name, name))
            return &answers->services[i];
    if (answers->service_count == MDNS_SERVICES_MAX)
        return nullptr;
    MdnsService *service = &answers->services[answers->service_count++];
    memset(service, 0, sizeof *service);
    service->source = source;
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

static void host_add(MdnsAnswers *answers, const unsigned char *name, const unsigned char *data,
                     uint32_t source)
{
    uint32_t address;
    memcpy(&address, data, 4);
    for (size_t i = 0; i < answers->host_count; i++)
        if (answers->hosts[i].address == address && answers->hosts[i].source == source &&
            name_equal(answers->hosts[i].name, name))
            return;
    if (answers->host_count == MDNS_HOSTS_MAX)
        return;
    MdnsHost *host = &answers->hosts[answers->host_count++];
    host->source = source;
    memcpy(host->name, name, name_length(name));
    host->address = address;
}

// Checks one record's data, and keeps what it says when answers is given.
static bool record_read(const unsigned char *packet, size_t size, size_t at, size_t length,
                        int type, const unsigned char *owner, const unsigned char *service_type,
                        uint32_t source, MdnsAnswers *answers)
{
    unsigned char name[MDNS_NAME_MAX];
    size_t end = at + length;
    switch (type) {
    case DNS_PTR:
        if (name_read(packet, size, at, name) != end)
            return false;
        if (answers != nullptr && name_equal(owner, service_type))
            (void)service_of(answers, name, service_type, source);
        return true;
    case DNS_SRV: {
        if (length < 7 || name_read(packet, size, at + 6, name) != end)
            return false;
        MdnsService *service =
            answers != nullptr ? service_of(answers, owner, service_type, source) : nullptr;
        if (service != nullptr) {
            service->has_srv = true;
            service->port = static_cast<uint16_t>(read16(packet + at + 4));
            memcpy(service->target, name, name_length(name));
        }
        return true;
    }
    case DNS_TXT:
        return txt_read(packet + at, length,
                        answers != nullptr ? service_of(answers, owner, service_type, source)
                                           : nullptr);
    case DNS_A:
        if (length != 4)
            return false;
        if (answers != nullptr)
            host_add(answers, owner, packet + at, source);
        return true;
    default: return true;  // AAAA, NSEC and the rest: not ours to read
    }
}

// Walks the packet: with answers nullptr only checking it, otherwise also
// keeping what it says. Returns 0, or -1 for a packet that does not hold.
static int packet_walk(const unsigned char *packet, size_t size, const unsigned char *service_type,
                       uint32_t source, MdnsAnswers *answers)
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
            !record_read(packet, size, at, length, internet ? type : 0, name, service_type, source,
                         answers))
            return -1;
        at += length;
    }
    return at == size ? 0 : -1;
}

int mdns_answers_take(MdnsAnswers *answers, const unsigned char *packet, size_t size,
                      uint16_t id, int question_count, const unsigned char *service_type,
                      uint32_t source)
{
    if (size < HEADER || size > MDNS_PACKET_MAX || read16(packet) != id ||
        (read16(packet + 2) & FLAG_RESPONSE) == 0 || (read16(packet + 2) & RCODE_MASK) != 0 ||
        static_cast<int>(read16(packet + 4)) != question_count)
        return -1;
    if (packet_walk(packet, size, service_type, source, nullptr) != 0)
        return -1;
    return packet_walk(packet, size, service_type, source, answers);
}

static const char SCHEME[] = "mdns://";
static const char DEFAULT_TYPE[] = "_iostream._tcp";
static const unsigned char GROUP[4] = {224, 0, 0, 251};

enum : uint32_t {
    // Long enough for a responder that delays its answer to a shared record
    // by up to 120 ms (RFC 6762 section 6), and for asking again after it.
    WAIT_DEFAULT_MS = 250,
    WAIT_MOST_MS = 60000,
};
enum {
    MDNS_PORT = 5353,
    PATTERN_MAX = 512,
    QUERY_MAX = 512,  // a legacy query's packet, as its answer's
    QUERIES_MAX = 1 + 2 * MDNS_SERVICES_MAX,
    // An answer to the type's query this long may have been cut: avahi
    // fills 512 bytes with whole services and drops the rest unsaid.
    ANSWER_FULL = 448,
    HARDWARE_ID_MAX = 320,
};

struct Lookup {
    char pattern[PATTERN_MAX];
    unsigned long n;
    unsigned char type[MDNS_NAME_MAX];
    uint32_t wait_ms;
};

// A service as it can be chosen: the address its host's records give, and
// the hardware ID hwgrep:// would give the board on its own host.
struct Candidate {
    const MdnsService *service;
    uint32_t address;  // network order; 0 when no address came
    bool choosable;
    char hardware_id[HARDWARE_ID_MAX];
};

bool mdns_port_name(const char *name)
{
    return name_has_scheme(name, SCHEME);
}

static bool option_is(const char *option, size_t length, const char *key)
{
    size_t key_length = strlen(key);
    return length > key_length && memcmp(option, key, key_length) == 0;
}

// type=SERVICE, such as _iostream._tcp; ".local" is added when not given.
static int type_parse(const char *text, size_t length, unsigned char *type)
{
    static const char DOMAIN[] = ".local";
    char dotted[MDNS_NAME_MAX];
    size_t domain = sizeof DOMAIN - 1;
    if (length + domain >= sizeof dotted || memchr(text, '\0', length) != nullptr)
        return -1;
    memcpy(dotted, text, length);
    dotted[length] = '\0';
    bool local = length >= domain && pattern_search("^\\.local$", dotted + length - domain, false);
    if (!local)
        memcpy(dotted + length, DOMAIN, domain + 1);
    return mdns_name_encode(dotted, type) != 0 ? 0 : -1;
}

// mdns://PATTERN[&n=N][&type=SERVICE][&wait=SECONDS]: the pattern runs to
// the first "&", as in hwgrep:// names.
static int lookup_parse(const char *name, Lookup *lookup)
{
    const char *rest = name + strlen(SCHEME);
    size_t length = strcspn(rest, "&");
    if (length >= PATTERN_MAX)
        return -1;
    memcpy(lookup->pattern, rest, length);
    lookup->pattern[length] = '\0';
    lookup->n = 1;
    lookup->wait_ms = WAIT_DEFAULT_MS;
    (void)type_parse(DEFAULT_TYPE, strlen(DEFAULT_TYPE), lookup->type);
    for (rest += length; *rest == '&';) {
        const char *option = rest + 1;
        size_t option_length = strcspn(option, "&");
        if (option_is(option, option_length, "n=")) {
            if (search_count_parse(option + 2, option_length - 2, &lookup->n) != 0)
                return -1;
        } else if (option_is(option, option_length, "type=")) {
            if (type_parse(option + 5, option_length - 5, lookup->type) != 0)
                return -1;
        } else if (option_is(option, option_length, "wait=")) {
            if (seconds_parse(option + 5, option_length - 5, &lookup->wait_ms) != 0 ||
                lookup->wait_ms > WAIT_MOST_MS)
                return -1;
        } else {
            return -1;
        }
        rest = option + option_length;
    }
    return 0;
}

// Responders whose answer to the type's query came full, and so may have
// left services out.
static uint32_t full_sources[MDNS_HOSTS_MAX];
static size_t full_count;

static void full_source_note(uint32_t source)
{
    for (size_t i = 0; i < full_count; i++)
        if (full_sources[i] == source)
            return;
    if (full_count < MDNS_HOSTS_MAX)
        full_sources[full_count++] = source;
}

// The queries sent, so that an answer is taken only for one of them.
static struct {
    uint16_t id;
    int questions;
} queries[QUERIES_MAX];
static size_t query_count;
static uint16_t next_id;

static int query_send(const unsigned char *const *names, const int *types, int count)
{
    unsigned char packet[QUERY_MAX];
    if (query_count == QUERIES_MAX)
        return -1;
    uint16_t id = next_id++;
    size_t size = mdns_query(packet, sizeof packet, id, names, types, count);
    uint32_t group;
    memcpy(&group, GROUP, sizeof group);
    if (size == 0 || datagram_send(packet, size, group, MDNS_PORT) != 0)
        return -1;
    queries[query_count].id = id;
    queries[query_count].questions = count;
    query_count++;
    return 0;
}

static const MdnsHost *host_of(const MdnsAnswers *answers, const MdnsService *service)
{
    for (size_t i = 0; i < answers->host_count; i++)
        if (answers->hosts[i].source == service->source &&
            name_equal(answers->hosts[i].name, service->target))
            return &answers->hosts[i];
    return nullptr;
}

// Asks, once for each, for what the answers left out: a responder that fits
// its answer into 512 bytes drops the records of all but the first services.
static void follow_ups_send(MdnsAnswers *answers)
{
    for (size_t i = 0; i < answers->service_count; i++) {
        MdnsService *service = &answers->services[i];
        if ((!service->has_srv || !service->has_txt) && !service->asked) {
            service->asked = true;
            const unsigned char *names[2] = {service->name, service->name};
            const int types[2] = {DNS_SRV, DNS_TXT};
            (void)query_send(names, types, 2);
        } else if (service->has_srv && !service->address_asked &&
                   host_of(answers, service) == nullptr) {
            service->address_asked = true;
            const unsigned char *names[1] = {service->target};
            const int types[1] = {DNS_A};
            (void)query_send(names, types, 1);
        }
    }
}

// Asks the network and takes the answers until the window closes; no
// answer moves its end. Returns 0, or -1 when the query could not go out or
// the socket failed.
static int answers_gather(MdnsAnswers *answers, const Lookup *lookup)
{
    static unsigned char packet[MDNS_PACKET_MAX + 1];
    uint32_t started = clock_milliseconds();
    memset(answers, 0, sizeof *answers);
    query_count = 0;
    full_count = 0;
    next_id = static_cast<uint16_t>(clock_microseconds() * 2654435761u >> 16);
    const unsigned char *names[1] = {lookup->type};
    const int types[1] = {DNS_PTR};
    if (datagram_open() <= 0 || query_send(names, types, 1) != 0) {
        datagram_close();
        return -1;
    }
    int result = 0;
    for (;;) {
        uint32_t left = milliseconds_left(started, lookup->wait_ms);
        uint32_t source = 0;
        long size = datagram_receive(packet, sizeof packet, MDNS_PORT, &source, left);
        if (size == SOCKET_TIMEOUT)
            break;
        if (size < 0) {
            result = -1;
            break;
        }
        for (size_t i = 0; size >= HEADER && i < query_count; i++)
            if (queries[i].id == read16(packet)) {
                if (mdns_answers_take(answers, packet, static_cast<size_t>(size), queries[i].id,
                                      queries[i].questions, lookup->type, source) != 0)
                    break;
                if (i == 0 && size >= ANSWER_FULL)
                    full_source_note(source);
                follow_ups_send(answers);
                break;
            }
        if (left == 0)
            break;
    }
    datagram_close();
    return result;
}

// The value of a TXT key (keys are compared without case), or nullptr.
static const char *txt_value(const MdnsService *service, const char *key)
{
    size_t key_length = strlen(key);
    for (const char *text = service->txt; text < service->txt + service->txt_length;
         text += strlen(text) + 1) {
        bool same = strlen(text) > key_length && text[key_length] == '=';
        for (size_t i = 0; same && i < key_length; i++)
            same = fold(static_cast<unsigned char>(text[i])) == fold(static_cast<unsigned char>(key[i]));
        if (same)
            return text + key_length + 1;
    }
    return nullptr;
}

// A USB ID as sysfs writes it: one to four hexadecimal digits.
static int usb_id_parse(const char *text, unsigned int *id)
{
    if (text == nullptr || strlen(text) < 1 || strlen(text) > 4 ||
        strspn(text, "0123456789abcdefABCDEF") != strlen(text))
        return -1;
    *id = static_cast<unsigned int>(strtoul(text, nullptr, 16));
    return 0;
}

static void candidate_make(Candidate *candidate, const MdnsAnswers *answers,
                           const MdnsService *service)
{
    const MdnsHost *host = service->has_srv ? host_of(answers, service) : nullptr;
    const char *stack = txt_value(service, "gensiostack");
    candidate->service = service;
    candidate->address = host != nullptr ? host->address : 0;
    candidate->choosable = host != nullptr && stack != nullptr &&
                           pattern_search("rfc2217", stack, false);
    unsigned int vendor, product;
    const char *serial = txt_value(service, "serial");
    candidate->hardware_id[0] = '\0';
    if (usb_id_parse(txt_value(service, "idVendor"), &vendor) == 0 &&
        usb_id_parse(txt_value(service, "idProduct"), &product) == 0)
        snprintf(candidate->hardware_id, sizeof candidate->hardware_id,
                 "USB VID:PID=%04X:%04X%s%s", vendor, product, serial != nullptr ? " SER=" : "",
                 serial != nullptr ? serial : "");
}

static int candidate_compare(const void *a, const void *b)
{
    const Candidate *x = static_cast<const Candidate *>(a);
    const Candidate *y = static_cast<const Candidate *>(b);
    int order = name_compare(x->service->instance, y->service->instance);
    if (order == 0)
        order = memcmp(&x->address, &y->address, sizeof x->address);  // network order counts right
    if (order == 0)
        order = static_cast<int>(x->service->port) - static_cast<int>(y->service->port);
    return order;
}

static bool candidate_matches(const PatternProgram *program, const Candidate *candidate)
{
    const MdnsService *service = candidate->service;
    if (pattern_run(program, service->instance) ||
        (candidate->hardware_id[0] != '\0' && pattern_run(program, candidate->hardware_id)))
        return true;
    for (const char *text = service->txt; text < service->txt + service->txt_length;
         text += strlen(text) + 1)
        if (pattern_run(program, text))
            return true;
    return false;
}

// An IPv4 address, in network order, as dotted text.
static void ipv4_write(char *text, size_t capacity, uint32_t address)
{
    const unsigned char *octets = reinterpret_cast<const unsigned char *>(&address);
    snprintf(text, capacity, "%u.%u.%u.%u", octets[0], octets[1], octets[2], octets[3]);
}

static void address_write(char *text, size_t capacity, const Candidate *candidate)
{
    char dotted[16];
    ipv4_write(dotted, sizeof dotted, candidate->address);
    snprintf(text, capacity, "%s:%u", dotted, candidate->service->port);
}

static const char *hardware_id_text(const Candidate *candidate)
{
    return candidate->hardware_id[0] != '\0' ? search_text_escaped(candidate->hardware_id) : "n/a";
}

// Every service seen, in the form of the hwgrep:// listing, with the TXT
// strings the pattern is also searched in.
static void candidates_print(const Candidate *candidates, size_t count)
{
    char address[32];
    for (size_t i = 0; i < count; i++) {
        const Candidate *candidate = &candidates[i];
        const MdnsService *service = candidate->service;
        address_write(address, sizeof address, candidate);
        fprintf(stderr, "%-20s\n", search_text_escaped(service->instance));
        if (candidate->choosable)
            fprintf(stderr, "    addr: rfc2217://%s\n", address);
        else if (candidate->address != 0)
            fprintf(stderr, "    addr: %s (cannot be chosen: not RFC 2217)\n", address);
        else
            fputs("    addr: unknown (cannot be chosen: its records did not all come)\n", stderr);
        fprintf(stderr, "    hwid: %s\n", hardware_id_text(candidate));
        for (const char *text = service->txt; text < service->txt + service->txt_length;
             text += strlen(text) + 1)
            fprintf(stderr, "    txt: %s\n", search_text_escaped(text));
    }
    if (count == 0)
        fputs("no services found\n", stderr);
    else
        fprintf(stderr, "%lu services found\n", static_cast<unsigned long>(count));
    for (size_t i = 0; i < full_count; i++) {
        char dotted[16];
        ipv4_write(dotted, sizeof dotted, full_sources[i]);
        fprintf(stderr, "%s answered with a full packet: services it left out are not seen\n",
                dotted);
    }
}

int mdns_search(const char *name, char *found, size_t capacity)
{
    static PatternProgram program;
    static Lookup lookup;
    static MdnsAnswers answers;
    static Candidate candidates[MDNS_SERVICES_MAX];
    if (lookup_parse(name, &lookup) != 0 ||
        pattern_compile(&program, lookup.pattern, PORT_TEXT_UTF8) != 0 ||
        answers_gather(&answers, &lookup) != 0)
        return -1;
    size_t count = answers.service_count;
    for (size_t i = 0; i < count; i++)
        candidate_make(&candidates[i], &answers, &answers.services[i]);
    qsort(candidates, count, sizeof candidates[0], candidate_compare);
    unsigned long n = lookup.n;
    for (size_t i = 0; i < count; i++) {
        const Candidate *candidate = &candidates[i];
        if (!candidate->choosable || !candidate_matches(&program, candidate) || --n > 0)
            continue;
        char address[32];
        address_write(address, sizeof address, candidate);
        if (static_cast<size_t>(snprintf(found, capacity, "rfc2217://%s", address)) >= capacity)
            return -1;
        if (port_search_report != 0) {
            printf("Found: '%s'", search_text_escaped(candidate->service->instance));
            printf(" rfc2217://%s %s\n", address, hardware_id_text(candidate));
            fflush(stdout);
        }
        return 0;
    }
    if (port_search_report != 0)
        candidates_print(candidates, count);
    return -1;
}
