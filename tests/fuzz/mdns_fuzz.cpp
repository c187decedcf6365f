// Fuzzes the taking apart of mDNS answers: any packet, from anyone on the
// link, must neither crash nor read past itself, nor loop through its
// compression pointers; what is kept stays within its bounds, every name
// kept is whole, and taking the same packet twice keeps nothing more.
#include "mdns.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

static MdnsAnswers answers, again;

static bool name_whole(const unsigned char *name)
{
    size_t at = 0;
    while (at < MDNS_NAME_MAX && name[at] != 0)
        at += 1u + name[at];
    return at < MDNS_NAME_MAX;
}

static void check(const MdnsAnswers &kept)
{
    if (kept.service_count > MDNS_SERVICES_MAX || kept.host_count > MDNS_HOSTS_MAX)
        abort();
    for (size_t i = 0; i < kept.service_count; i++) {
        const MdnsService &service = kept.services[i];
        if (service.instance[0] == '\0' || !name_whole(service.name) ||
            (service.has_srv && !name_whole(service.target)) || service.txt_length > MDNS_TXT_MAX ||
            (service.txt_length > 0 && service.txt[service.txt_length - 1] != '\0'))
            abort();
    }
    for (size_t i = 0; i < kept.host_count; i++)
        if (!name_whole(kept.hosts[i].name))
            abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    unsigned char type[MDNS_NAME_MAX];
    (void)mdns_name_encode("_iostream._tcp.local", type);
    // The query's ID and question count as the packet's own, so that the
    // walk is reached; a third of the inputs keep a count of their own.
    int questions = size >= 6 ? (data[4] << 8 | data[5]) : 0;
    if (size > 0 && data[size - 1] % 3 == 0)
        questions = 1;
    uint16_t id = size >= 2 ? static_cast<uint16_t>(data[0] << 8 | data[1]) : 0;
    memset(&answers, 0, sizeof answers);
    int taken = mdns_answers_take(&answers, data, size, id, questions, type, 0x0100007Fu);
    check(answers);
    if (taken != 0 && (answers.service_count != 0 || answers.host_count != 0))
        abort();  // a packet refused leaves nothing behind
    again = answers;
    (void)mdns_answers_take(&again, data, size, id, questions, type, 0x0100007Fu);
    if (again.service_count != answers.service_count || again.host_count != answers.host_count)
        abort();
    return 0;
}
