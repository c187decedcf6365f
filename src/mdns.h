// Boards that a server advertises on the network, found by what they are:
// mdns://PATTERN[&n=N][&type=SERVICE][&wait=SECONDS]. The local network is
// asked once with a one-shot DNS-SD query (RFC 6762 section 6.7, RFC 6763)
// for the services of one type, each with its instance name, SRV, TXT and
// the IPv4 addresses of its host; what the answers leave out is asked for
// again within the same window. Every packet comes from anyone on the link,
// so each is checked against the query it answers and against its own
// length before anything in it counts, and what a run keeps from all of
// them is bounded. The pattern language and order are those of hwgrep://.
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

// Services and hosts are told apart by the responder that told of them as
// well as by name: the same name on two links is two boards.
struct MdnsService {
    uint32_t source;                       // the responder's IPv4 address, network order
    unsigned char name[MDNS_NAME_MAX];     // the instance's whole name, in DNS's form
    char instance[MDNS_LABEL_MAX + 1];     // its first label, as text
    bool has_srv, has_txt;
    uint16_t port;
    unsigned char target[MDNS_NAME_MAX];   // the SRV's host
    char txt[MDNS_TXT_MAX];                // KEY=VALUE strings, each ended by a 0
    size_t txt_length;
    bool asked, address_asked;             // what was asked for again
};

struct MdnsHost {
    uint32_t source;
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

// Takes in one answer packet from the responder at source: only one that
// repeats the query's ID and question count, is a response, and holds
// exactly the records it counts, every name and length within it
// (compression pointers only backwards, so none can loop). The PTR records
// of service_type (a name in DNS's form) name services; SRV and TXT records
// of those services and A records of any host are kept. Returns 0 when the
// packet was taken, -1 when it was not (nothing of it is kept then).
int mdns_answers_take(MdnsAnswers *answers, const unsigned char *packet, size_t size,
                      uint16_t id, int question_count, const unsigned char *service_type,
                      uint32_t source);

// Whether the name is an mDNS lookup (it begins with "mdns://", in any case).
bool mdns_port_name(const char *name);

// Finds the board the name describes and writes the remote port name that
// reaches it (rfc2217://ADDRESS:PORT) into found. Returns 0, or -1 when the
// name is no valid lookup (bad pattern, unknown option, bad n, type or
// wait), nothing answered, or no service matches; the caller then reports
// the open failure with the name as given. Reports as hwgrep:// does.
int mdns_search(const char *name, char *found, size_t capacity);

#endif
