// Fuzzes the taking apart of mDNS answers: any packet, from anyone on the
// link, must neither crash nor read past itself, nor loop through its
// compression pointers; what is kept stays within its bounds, every name
// kept is whole, a refused packet keeps nothing, and taking the same packet
// twice keeps nothing more. Inputs reach both ways in: the shared port,
// and a one-shot query's port with a query of the packet's own ID.
#include "mdns.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

static MdnsAnswers answers;

static bool name_whole(const unsigned char *name)
{
    size_t at = 0;
    while (at < DNS_NAME_MAX && name[at] != 0)
        at += 1u + name[at];
    return at < DNS_NAME_MAX;
}

static void check()
{
    if (answers.service_count > MDNS_SERVICES_MAX || answers.host_count > MDNS_HOSTS_MAX ||
        answers.responder_count > MDNS_RESPONDERS_MAX)
        abort();
    for (size_t i = 0; i < answers.service_count; i++) {
        const MdnsService &service = answers.services[i];
        if (service.instance[0] == '\0' || !name_whole(service.name) ||
            service.responder >= answers.responder_count ||
            (service.has_srv && !name_whole(service.target)) || service.txt_length > MDNS_TXT_MAX ||
            (service.txt_length > 0 && service.txt[service.txt_length - 1] != '\0'))
            abort();
    }
    for (size_t i = 0; i < answers.host_count; i++) {
        const unsigned char *octets = reinterpret_cast<const unsigned char *>(&answers.hosts[i].address);
        if (!name_whole(answers.hosts[i].name) || octets[0] == 0 || octets[0] == 127 ||
            octets[0] >= 224)
            abort();
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    unsigned char type[DNS_NAME_MAX];
    (void)dns_name_encode("_iostream._tcp.local", type);
    mdns_answers_clear(&answers, type);
    bool shared = size == 0 || data[size - 1] % 3 != 0;
    const uint32_t source = 0x0201C90Au, link = 0x0101C90Au, netmask = 0x00FFFFFFu;
    if (!shared) {
        // A one-shot query for the type, or for a board's records or address.
        MdnsQuery &query = answers.queries[0];
        memset(&query, 0, sizeof query);
        query.id = size >= 2 ? static_cast<uint16_t>(data[0] << 8 | data[1]) : 0;
        query.asked = data[size - 1] % 9 / 3;
        query.count = query.asked == ASKED_RECORDS ? 2 : 1;
        query.types[0] = query.asked == ASKED_TYPE ? DNS_PTR : query.asked == ASKED_RECORDS ? DNS_SRV : DNS_A;
        query.types[1] = DNS_TXT;
        (void)dns_name_encode(query.asked == ASKED_TYPE      ? "_iostream._tcp.local"
                              : query.asked == ASKED_RECORDS ? "board._iostream._tcp.local"
                                                             : "host.local",
                              query.names[0]);
        (void)dns_name_encode("board._iostream._tcp.local", query.names[1]);
        answers.query_count = 1;
        if (query.asked != ASKED_TYPE) {
            answers.responders[0] = MdnsResponder{source, 0, link, netmask, 1, 0, false, false, false};
            answers.responder_count = 1;
            MdnsService &service = answers.services[0];
            memset(&service, 0, sizeof service);
            (void)dns_name_encode("board._iostream._tcp.local", service.name);
            (void)dns_name_encode("host.local", service.target);
            memcpy(service.instance, "board", 6);
            service.has_srv = true;
            answers.service_count = 1;
        }
    }
    size_t seeded = answers.service_count;
    int taken = mdns_answers_take(&answers, data, size, source, link, netmask, 0, shared, shared);
    check();
    if (taken < 0 && (answers.service_count != seeded || answers.host_count != 0))
        abort();  // a packet refused leaves nothing behind
    // Taking it again keeps nothing more. It may keep less: a packet that
    // withdraws an address and tells of another can, the second time, take
    // its responder past its bound, which then leaves it out.
    size_t services = answers.service_count, hosts = answers.host_count;
    (void)mdns_answers_take(&answers, data, size, source, link, netmask, 0, shared, shared);
    if (answers.service_count > services || answers.host_count > hosts)
        abort();
    return 0;
}
