// What mDNS responders answer to a one-shot DNS-SD query (RFC 6762 section
// 6.7, RFC 6763): the services of one type, each with its instance name,
// SRV, TXT and the IPv4 addresses of its host. Every packet comes from
// anyone on the link, so each is checked against the query it answers and
// against its own length before anything in it counts, and what a run
// keeps from all of them is bounded.
#ifndef KOVEX_MDNS_H
#define KOVEX_MDNS_H

#include <cstddef>
#include <cstdint>

enum {
    MDNS_NAME_MAX = 255,      // a name in DNS's form: length-prefixed labels, the root's 0 last
    MDNS_LABEL_MAX = 63,
    MDNS_TXT_MAX = 1024,      // a service's TXT strings, each ended by a 0
    MDNS_SERVICES_MAX = 128,  // services a run keeps; more are seen and let go
    MDNS_HOSTS_MAX = 128,     // host addresses a run keeps
    MDNS_PACKET_MAX = 9000,   // the largest packet read
};

enum { DNS_A = 1, DNS_PTR = 12, DNS_TXT = 16, DNS_SRV = 33 };

struct MdnsService {
    unsigned char name[MDNS_NAME_MAX];     // the instance's whole name, in DNS's form
    char instance[MDNS_LABEL_MAX + 1];     // its first label, as text
    bool has_srv, has_txt;
    uint16_t port;
    unsigned char target[MDNS_NAME_MAX];   // the SRV's host
    char txt[MDNS_TXT_MAX];                // KEY=VALUE strings, each ended by a 0
    size_t txt_length;
};

struct MdnsHost {
    unsigned char name[MDNS_NAME_MAX];
    uint32_t address;  // IPv4, in network order
};

struct MdnsAnswers {
    MdnsService services[MDNS_SERVICES_MAX];
    size_t service_count;
    MdnsHost hosts[MDNS_HOSTS_MAX];
    size_t host_count;
};

// Writes a dotted name ("_iostream._tcp.local") in DNS's form. Returns its
// length, or 0 when it is no valid name.
size_t mdns_name_encode(const char *dotted, unsigned char *name);

// Writes a query with the given ID for the questions, each a name in DNS's
// form and a type. Returns its length, or 0 when it does not fit.
size_t mdns_query(unsigned char *packet, size_t capacity, uint16_t id,
                  const unsigned char *const *names, const int *types, int count);

// Takes in one answer packet: only one that repeats the query's ID and
// question count, is a response, and holds exactly the records it counts,
// every name and length within it (compression pointers only backwards, so
// none can loop). The PTR records of service_type (a name in DNS's form)
// name services; SRV and TXT records of those services and A records of any
// host are kept. Returns 0 when the packet was taken, -1 when it was not
// (nothing of it is kept then).
int mdns_answers_take(MdnsAnswers *answers, const unsigned char *packet, size_t size,
                      uint16_t id, int question_count, const unsigned char *service_type);

#endif
