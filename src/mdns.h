// Boards that a server advertises on the network, found by what they are:
// mdns://PATTERN[&n=N][&type=SERVICE][&wait=SECONDS]. The local network is
// asked as a multicast DNS querier asks (RFC 6762, RFC 6763), from the
// shared port 5353, for the services of one type, each with its instance
// name, SRV, TXT and the IPv4 address of its host, and once more with a
// one-shot query from a port of its own, which is all there is where port
// 5353 cannot be had; what the answers leave out is asked for again within
// the same window. Every packet comes from anyone on the link, so each is
// checked whole before anything in it counts, only what the run asked
// about is kept, and what a run keeps from each responder and from all of
// them is bounded. The pattern language and order are those of hwgrep://.
#ifndef KOVEX_MDNS_H
#define KOVEX_MDNS_H

#include "dns.h"

#include <cstddef>
#include <cstdint>

enum {
    MDNS_TXT_MAX = 1024,               // a service's TXT strings, each ended by a 0
    MDNS_SERVICES_MAX = 2048,          // services a run keeps from all responders
    MDNS_RESPONDER_SERVICES_MAX = 256, // from one: a responder that tells of more is left out
    MDNS_RESPONDER_HOSTS_MAX = 256,    // host addresses from one, likewise
    MDNS_RESPONDERS_MAX = 256,
    MDNS_HOSTS_MAX = 2048,             // host addresses a run keeps
    MDNS_QUERIES_MAX = 512,            // one-shot queries a run sends
};

// Each responder is known by its address on a link, and what it tells is
// kept apart from what others tell: no answer from one can add to or
// change another's.
struct MdnsResponder {
    uint32_t address;          // network order
    int link;                  // the link its answers came by
    uint32_t link_address, link_netmask;  // that link's
    unsigned int services, hosts;  // services and host addresses kept from it
    bool flooded;              // it told of more than a host serves: left out, nothing kept
    bool multicast;            // it answered the type by multicast, which every run gets
    bool legacy_full;          // its one-shot answer for the type came full
};

struct MdnsService {
    unsigned int responder;
    unsigned char name[DNS_NAME_MAX];      // the instance's whole name, in DNS's form
    char instance[DNS_LABEL_MAX + 1];      // its first label, as text
    bool has_srv, has_txt;
    bool withdrawn;                        // its responder said goodbye to it (TTL 0)
    uint16_t port;
    unsigned char target[DNS_NAME_MAX];    // the SRV's host
    char txt[MDNS_TXT_MAX];                // KEY=VALUE strings, each ended by a 0
    size_t txt_length;
    bool asked, address_asked;             // what was asked for again
};

struct MdnsHost {
    unsigned int responder;
    unsigned char name[DNS_NAME_MAX];
    uint32_t address;  // IPv4, network order
    bool on_link;      // on the link the responder's answers came by
};

// A one-shot query sent: its answer must repeat its ID and its questions,
// kept as they were sent.
enum { ASKED_TYPE, ASKED_RECORDS, ASKED_ADDRESS };
struct MdnsQuery {
    uint16_t id;
    int link;
    int asked;       // ASKED_TYPE, ASKED_RECORDS or ASKED_ADDRESS
    unsigned int count;
    int types[2];
    unsigned char names[2][DNS_NAME_MAX];
};

struct MdnsAnswers {
    unsigned char type[DNS_NAME_MAX];  // the service type, in DNS's form
    MdnsResponder responders[MDNS_RESPONDERS_MAX];
    size_t responder_count;
    MdnsService services[MDNS_SERVICES_MAX];
    size_t service_count;
    MdnsHost hosts[MDNS_HOSTS_MAX];
    size_t host_count;
    MdnsQuery queries[MDNS_QUERIES_MAX];
    size_t query_count;
    bool full;  // a table was full, and what did not fit was let go
};

// Empties the answers for a lookup of the type (a name in DNS's form).
void mdns_answers_clear(MdnsAnswers *answers, const unsigned char *type);

// Whether the packet, whole, is a query that asks for the services of the
// type, and its ID: a run's own, or another querier's.
bool mdns_asks_type(const MdnsAnswers *answers, const unsigned char *packet, size_t size,
                    uint16_t *id);

// Notes a one-shot query sent on the link (room for it is the caller's to
// see to), so that its answer can be judged.
void mdns_query_note(MdnsAnswers *answers, uint16_t id, int link, int asked,
                     const DnsQuestion *questions, int count);

// Takes in one packet that came from the responder at source, port 5353,
// by the link (its index, address and netmask), to the shared port (by
// multicast or not) or to a one-shot query's. A packet counts only when it holds whole and is a
// response; on a one-shot query's port only when it repeats the ID and the
// questions of one of those sent on that link. Then the PTR records of the
// type, the SRV and TXT records of its instances and the A records of
// their hosts, where a board can be reached, are kept, and a goodbye (TTL
// 0) withdraws what that responder told of the service or address.
// Returns 1 when the packet was taken and changed what is known, 0 when it
// was taken and changed nothing, -1 when it was not taken (nothing of it
// is kept then).
int mdns_answers_take(MdnsAnswers *answers, const unsigned char *packet, size_t size,
                      uint32_t source, uint32_t link_address, uint32_t link_netmask, int link,
                      bool shared, bool multicast);

// Whether the name is an mDNS lookup (it begins with "mdns://", in any case).
bool mdns_port_name(const char *name);

// Finds the board the name describes and writes the remote port name that
// reaches it (rfc2217://ADDRESS:PORT) into found. Returns 0, or -1 when the
// name is no valid lookup (bad pattern, unknown option, bad n, type or
// wait), nothing answered, no service matches, or services that did not
// all come could change the choice; the caller then reports the open
// failure with the name as given. Reports as hwgrep:// does.
int mdns_search(const char *name, char *found, size_t capacity);

#endif
