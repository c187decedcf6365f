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

static MdnsResponder *responder_find(MdnsAnswers *answers, uint32_t source)
{
    for (size_t i = 0; i < answers->responder_count; i++)
        if (answers->responders[i].address == source)
            return &answers->responders[i];
    return nullptr;
}

static MdnsResponder *responder_of(MdnsAnswers *answers, uint32_t source, uint32_t link_address,
                                   uint32_t link_netmask)
{
    MdnsResponder *responder = responder_find(answers, source);
    if (responder != nullptr)
        return responder;
    if (answers->responder_count == MDNS_RESPONDERS_MAX) {
        answers->full = true;
        return nullptr;
    }
    responder = &answers->responders[answers->responder_count++];
    memset(responder, 0, sizeof *responder);
    responder->address = source;
    responder->link_address = link_address;
    responder->link_netmask = link_netmask;
    return responder;
}

// Whether a name is an instance of the service type: one label of text,
// then the type.
static bool instance_of(const unsigned char *name, const unsigned char *type)
{
    return name[0] != 0 && memchr(name + 1, 0, name[0]) == nullptr &&
           dns_name_equal(name + 1 + name[0], type);
}

// The responder's service of that name, added when it is new and there is
// room; nullptr when there is none.
static MdnsService *service_of(MdnsAnswers *answers, MdnsResponder *responder,
                               const unsigned char *name)
{
    if (!instance_of(name, answers->type))
        return nullptr;
    unsigned int index = static_cast<unsigned int>(responder - answers->responders);
    // Newest first: a service's records come right after its PTR.
    for (size_t i = answers->service_count; i-- > 0;)
        if (answers->services[i].responder == index && dns_name_equal(answers->services[i].name, name))
            return &answers->services[i];
    if (responder->services == MDNS_RESPONDER_SERVICES_MAX) {
        responder->flooded = true;
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
    service->asked = service->address_asked = false;
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

static void host_add(MdnsAnswers *answers, unsigned int responder, const DnsRecord *record)
{
    uint32_t address;
    memcpy(&address, record->data, 4);
    const MdnsResponder *from = &answers->responders[responder];
    if (!address_reachable(address, from))
        return;
    for (size_t i = 0; i < answers->host_count; i++)
        if (answers->hosts[i].responder == responder && answers->hosts[i].address == address &&
            dns_name_equal(answers->hosts[i].name, record->owner))
            return;
    if (answers->host_count == MDNS_HOSTS_MAX) {
        answers->full = true;
        return;
    }
    MdnsHost *host = &answers->hosts[answers->host_count++];
    host->responder = responder;
    memcpy(host->name, record->owner, dns_name_length(record->owner));
    host->address = address;
    host->on_link = (address & from->link_netmask) == (from->link_address & from->link_netmask);
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

// The one-shot query on the link that this answer repeats, ID and
// questions, or nullptr.
static const MdnsQuery *query_answered(const MdnsAnswers *answers, DnsMessage *message, int link)
{
    for (size_t i = 0; i < answers->query_count; i++) {
        const MdnsQuery *query = &answers->queries[i];
        if (query->id != message->id || query->link != link)
            continue;
        const MdnsService *service = &answers->services[query->service];
        const unsigned char *names[2] = {answers->type, service->name};
        int types[2] = {DNS_PTR, DNS_SRV};
        unsigned int count = 1;
        if (query->asked == ASKED_RECORDS)
            count = 2, names[0] = service->name, types[1] = DNS_TXT, types[0] = DNS_SRV;
        else if (query->asked == ASKED_ADDRESS)
            names[0] = service->target, types[0] = DNS_A;
        if (message->question_count != count)
            return nullptr;
        unsigned char name[DNS_NAME_MAX];
        int type;
        for (unsigned int q = 0; q < count; q++)
            if (dns_question_next(message, name, &type) != 0 || type != types[q] ||
                !dns_name_equal(name, names[q]))
                return nullptr;
        return query;
    }
    return nullptr;
}

int mdns_answers_take(MdnsAnswers *answers, const unsigned char *packet, size_t size,
                      uint32_t source, uint32_t link_address, uint32_t link_netmask, int link,
                      bool shared)
{
    DnsMessage message;
    const MdnsResponder *known = responder_find(answers, source);
    if ((known != nullptr && known->flooded) || dns_message_open(&message, packet, size) != 0 ||
        !message.response)
        return -1;
    // Multicast answers carry no ID and no questions (RFC 6762 section 6);
    // an answer to a one-shot query must repeat it.
    const MdnsQuery *query = shared ? nullptr : query_answered(answers, &message, link);
    if (!shared && query == nullptr)
        return -1;
    DnsMessage again = message;
    DnsRecord record;
    MdnsResponder *responder = nullptr;
    bool typed = false;
    while (dns_record_next(&message, &record) == 0) {
        bool pointer = record.type == DNS_PTR && dns_name_equal(record.owner, answers->type);
        const unsigned char *instance = pointer ? record.name : record.owner;
        if (record.ttl == 0 || !(pointer || record.type == DNS_SRV || record.type == DNS_TXT) ||
            !instance_of(instance, answers->type))
            continue;
        if (responder == nullptr &&
            (responder = responder_of(answers, source, link_address, link_netmask)) == nullptr)
            return 0;
        MdnsService *service = service_of(answers, responder, instance);
        typed = typed || pointer;
        if (service == nullptr || pointer)
            continue;
        if (record.type == DNS_SRV && !service->has_srv) {
            service->has_srv = true;
            service->port = record.port;
            memcpy(service->target, record.name, dns_name_length(record.name));
        } else if (record.type == DNS_TXT && !service->has_txt) {
            txt_keep(service, &record);
        }
    }
    if (responder == nullptr)
        responder = responder_find(answers, source);
    if (responder == nullptr)
        return 0;
    unsigned int index = static_cast<unsigned int>(responder - answers->responders);
    while (dns_record_next(&again, &record) == 0)
        if (record.type == DNS_A && record.ttl != 0 && host_asked(answers, index, record.owner))
            host_add(answers, index, &record);
    if (typed && shared)
        responder->shared = true;
    // avahi fills a one-shot answer with whole services up to 512 bytes and
    // drops the rest unsaid.
    if (typed && query != nullptr && query->asked == ASKED_TYPE && size >= 448)
        responder->legacy_full = true;
    return 0;
}
