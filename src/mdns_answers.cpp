// What the answers to a lookup tell, kept apart by responder and within
// bounds: only what the lookup asked about, only from a packet that holds
// whole, and only addresses a board can be reached at.
#include "mdns.h"

#include <cstddef>
#include <cstring>

void mdns_answers_clear(MdnsAnswers *answers, const unsigned char *type)
{
    // The tables are large and used from their start: only the counts are reset.
    memcpy(answers->type, type, dns_name_length(type));
    answers->responder_count = answers->service_count = answers->host_count = 0;
    answers->query_count = 0;
    answers->full = false;
}

static MdnsResponder *responder_find(MdnsAnswers *answers, uint32_t source, int link)
{
    for (size_t i = 0; i < answers->responder_count; i++)
        if (answers->responders[i].address == source && answers->responders[i].link == link)
            return &answers->responders[i];
    return nullptr;
}

static MdnsResponder *responder_of(MdnsAnswers *answers, uint32_t source, int link,
                                   uint32_t link_address, uint32_t link_netmask)
{
    MdnsResponder *responder = responder_find(answers, source, link);
    if (responder != nullptr)
        return responder;
    if (answers->responder_count == MDNS_RESPONDERS_MAX) {
        answers->full = true;
        return nullptr;
    }
    responder = &answers->responders[answers->responder_count++];
    memset(responder, 0, sizeof *responder);
    responder->address = source;
    responder->link = link;
    responder->link_address = link_address;
    responder->link_netmask = link_netmask;
    return responder;
}

// Leaves out a responder that told of more than a host has, and gives
// back the room its services and addresses took, so that a few flooding
// addresses cannot fill the tables for the others.
static void responder_leave(MdnsAnswers *answers, MdnsResponder *responder)
{
    unsigned int index = static_cast<unsigned int>(responder - answers->responders);
    size_t kept = 0;
    for (size_t i = 0; i < answers->service_count; i++)
        if (answers->services[i].responder != index)
            memmove(&answers->services[kept++], &answers->services[i], sizeof answers->services[i]);
    answers->service_count = kept;
    kept = 0;
    for (size_t i = 0; i < answers->host_count; i++)
        if (answers->hosts[i].responder != index)
            answers->hosts[kept++] = answers->hosts[i];
    answers->host_count = kept;
    responder->flooded = true;
    responder->services = responder->hosts = 0;
}

// Whether a name is an instance of the service type: one label of text,
// then the type.
static bool instance_of(const unsigned char *name, const unsigned char *type)
{
    return name[0] != 0 && memchr(name + 1, 0, name[0]) == nullptr &&
           dns_name_equal(name + 1 + name[0], type);
}

// The responder's service of that name, added when it is new, adding is
// asked for and there is room; nullptr when there is none.
static MdnsService *service_of(MdnsAnswers *answers, MdnsResponder *responder,
                               const unsigned char *name, bool adding)
{
    if (!instance_of(name, answers->type))
        return nullptr;
    unsigned int index = static_cast<unsigned int>(responder - answers->responders);
    // Newest first: a service's records come right after its PTR.
    for (size_t i = answers->service_count; i-- > 0;)
        if (answers->services[i].responder == index && dns_name_equal(answers->services[i].name, name))
            return &answers->services[i];
    if (!adding)
        return nullptr;
    if (responder->services == MDNS_RESPONDER_SERVICES_MAX) {
        responder_leave(answers, responder);
        return nullptr;
    }
    if (answers->service_count == MDNS_SERVICES_MAX) {
        answers->full = true;
        return nullptr;
    }
    responder->services++;
    MdnsService *service = &answers->services[answers->service_count++];
    memset(service, 0, offsetof(MdnsService, txt));
    service->txt_length = 0;
    service->asked = service->address_asked = service->withdrawn = false;
    service->responder = index;
    memcpy(service->name, name, dns_name_length(name));
    memcpy(service->instance, name + 1, name[0]);
    return service;
}

// TXT strings as KEY=VALUE texts, each ended by a 0; a string that holds a
// 0 itself, or no longer fits, is left out.
static void txt_keep(MdnsService *service, const DnsRecord *record)
{
    const unsigned char *text;
    size_t size, kept = 0;
    for (size_t at = 0; (at = dns_txt_next(record, at, &text, &size)) != 0;)
        if (size > 0 && memchr(text, 0, size) == nullptr && size + 1 <= MDNS_TXT_MAX - kept) {
            memcpy(service->txt + kept, text, size);
            kept += size;
            service->txt[kept++] = '\0';
        }
    service->has_txt = true;
    service->txt_length = kept;
}

// Whether a board can be reached at the address: not "this network",
// loopback, multicast, reserved or a broadcast address, nor the network's
// own address or broadcast address on the link.
static bool address_reachable(uint32_t address, const MdnsResponder *responder)
{
    const unsigned char *octets = reinterpret_cast<const unsigned char *>(&address);
    uint32_t mask = responder->link_netmask;
    bool on_link = (address & mask) == (responder->link_address & mask);
    uint32_t host_part = address & ~mask;
    return octets[0] != 0 && octets[0] != 127 && octets[0] < 224 &&
           !(on_link && mask != 0xFFFFFFFFu && (host_part == 0 || host_part == ~mask));
}

// Keeps an address of a host, or withdraws it on a goodbye. Returns
// whether that changed what is known.
static bool host_take(MdnsAnswers *answers, MdnsResponder *from, const DnsRecord *record)
{
    unsigned int responder = static_cast<unsigned int>(from - answers->responders);
    uint32_t address;
    memcpy(&address, record->data, 4);
    if (!address_reachable(address, from))
        return false;
    for (size_t i = 0; i < answers->host_count; i++) {
        MdnsHost *host = &answers->hosts[i];
        if (host->responder != responder || host->address != address ||
            !dns_name_equal(host->name, record->owner))
            continue;
        if (record->ttl != 0)
            return false;
        *host = answers->hosts[--answers->host_count];
        from->hosts--;
        return true;
    }
    if (record->ttl == 0)
        return false;
    if (from->hosts == MDNS_RESPONDER_HOSTS_MAX) {
        responder_leave(answers, from);
        return true;
    }
    if (answers->host_count == MDNS_HOSTS_MAX) {
        answers->full = true;
        return false;
    }
    MdnsHost *host = &answers->hosts[answers->host_count++];
    from->hosts++;
    host->responder = responder;
    memcpy(host->name, record->owner, dns_name_length(record->owner));
    host->address = address;
    host->on_link = (address & from->link_netmask) == (from->link_address & from->link_netmask);
    return true;
}

// Whether an SRV of the responder names the host.
static bool host_asked(const MdnsAnswers *answers, unsigned int responder, const unsigned char *name)
{
    for (size_t i = answers->service_count; i-- > 0;) {
        const MdnsService *service = &answers->services[i];
        if (service->responder == responder && service->has_srv &&
            dns_name_equal(service->target, name))
            return true;
    }
    return false;
}

bool mdns_asks_type(const MdnsAnswers *answers, const unsigned char *packet, size_t size,
                    uint16_t *id)
{
    DnsMessage message;
    unsigned char name[DNS_NAME_MAX];
    int type;
    if (dns_message_open(&message, packet, size) != 0 || (packet[2] & 0x80) != 0)
        return false;
    *id = message.id;
    while (dns_question_next(&message, name, &type) == 0)
        if (type == DNS_PTR && dns_name_equal(name, answers->type))
            return true;
    return false;
}

void mdns_query_note(MdnsAnswers *answers, uint16_t id, int link, int asked,
                     const DnsQuestion *questions, int count)
{
    MdnsQuery *query = &answers->queries[answers->query_count++];
    query->id = id;
    query->link = link;
    query->asked = asked;
    query->count = static_cast<unsigned int>(count);
    for (int q = 0; q < count; q++) {
        query->types[q] = questions[q].type;
        memcpy(query->names[q], questions[q].name, dns_name_length(questions[q].name));
    }
}

// The one-shot query on the link that this answer repeats, ID and
// questions, or nullptr.
static const MdnsQuery *query_answered(const MdnsAnswers *answers, DnsMessage *message, int link)
{
    for (size_t i = 0; i < answers->query_count; i++) {
        const MdnsQuery *query = &answers->queries[i];
        if (query->id != message->id || query->link != link)
            continue;
        if (message->question_count != query->count)
            return nullptr;
        unsigned char name[DNS_NAME_MAX];
        int type;
        for (unsigned int q = 0; q < query->count; q++)
            if (dns_question_next(message, name, &type) != 0 || type != query->types[q] ||
                !dns_name_equal(name, query->names[q]))
                return nullptr;
        return query;
    }
    return nullptr;
}

// Takes a record of a service: its PTR, SRV or TXT, or a goodbye to one of
// them, which withdraws all that the responder told of the service until
// it tells of it again. Returns whether that changed what is known.
static bool service_take(MdnsService *service, const DnsRecord *record, bool pointer)
{
    if (record->ttl == 0) {
        bool known = !service->withdrawn;
        service->withdrawn = true;
        service->has_srv = service->has_txt = false;
        service->asked = service->address_asked = false;
        return known;
    }
    bool changed = service->withdrawn;
    service->withdrawn = false;
    if (pointer)
        return changed;
    if (record->type == DNS_SRV && !service->has_srv) {
        service->has_srv = true;
        service->port = record->port;
        memcpy(service->target, record->name, dns_name_length(record->name));
        return true;
    }
    if (record->type == DNS_TXT && !service->has_txt) {
        txt_keep(service, record);
        return true;
    }
    return changed;
}

int mdns_answers_take(MdnsAnswers *answers, const unsigned char *packet, size_t size,
                      uint32_t source, uint32_t link_address, uint32_t link_netmask, int link,
                      bool shared, bool multicast)
{
    DnsMessage message;
    MdnsResponder *responder = responder_find(answers, source, link);
    if ((responder != nullptr && responder->flooded) ||
        dns_message_open(&message, packet, size) != 0 || !message.response)
        return -1;
    // Multicast answers carry no ID and no questions (RFC 6762 section 6);
    // an answer to a one-shot query must repeat it.
    const MdnsQuery *query = shared ? nullptr : query_answered(answers, &message, link);
    if (!shared && query == nullptr)
        return -1;
    DnsMessage again = message;
    DnsRecord record;
    bool typed = false, changed = false;
    while (dns_record_next(&message, &record) == 0) {
        bool pointer = record.type == DNS_PTR && dns_name_equal(record.owner, answers->type);
        const unsigned char *instance = pointer ? record.name : record.owner;
        if (!(pointer || record.type == DNS_SRV || record.type == DNS_TXT) ||
            !instance_of(instance, answers->type))
            continue;
        if (responder == nullptr &&
            (responder = responder_of(answers, source, link, link_address, link_netmask)) == nullptr)
            return 0;
        size_t known = answers->service_count;
        MdnsService *service = service_of(answers, responder, instance, record.ttl != 0);
        if (responder->flooded)
            return 1;
        typed = typed || pointer;
        bool taken = service != nullptr && service_take(service, &record, pointer);
        if (taken || answers->service_count > known)
            changed = true;
    }
    if (responder == nullptr)
        return 0;
    unsigned int index = static_cast<unsigned int>(responder - answers->responders);
    while (dns_record_next(&again, &record) == 0 && !responder->flooded)
        if (record.type == DNS_A && host_asked(answers, index, record.owner) &&
            host_take(answers, responder, &record))
            changed = true;
    if (typed && shared && multicast)
        responder->multicast = true;
    // avahi fills a one-shot answer with whole services up to 512 bytes and
    // drops the rest unsaid.
    if (typed && query != nullptr && query->asked == ASKED_TYPE && size >= 448)
        responder->legacy_full = true;
    return changed ? 1 : 0;
}
