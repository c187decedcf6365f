// DNS messages as multicast DNS carries them (RFC 1035, RFC 6762): names in
// DNS's form, queries built, and answers taken apart as untrusted input.
// A message is checked whole when it is opened, every name, pointer, length
// and count in it, so that reading its questions and records afterwards
// cannot fail or leave the packet.
#ifndef KOVEX_DNS_H
#define KOVEX_DNS_H

#include <cstddef>
#include <cstdint>

enum {
    DNS_NAME_MAX = 255,  // a name in DNS's form: length-prefixed labels, the root's 0 last
    DNS_LABEL_MAX = 63,
    DNS_HEADER = 12,
    DNS_PACKET_MAX = 9000,  // the largest packet read
};

enum { DNS_A = 1, DNS_PTR = 12, DNS_TXT = 16, DNS_SRV = 33 };

// Writes a dotted name ("_iostream._tcp.local") in DNS's form. Returns its
// length, or 0 when it is no valid name.
size_t dns_name_encode(const char *dotted, unsigned char *name);

// The length of a name in DNS's form, its final 0 included.
size_t dns_name_length(const unsigned char *name);

// Whether two names in DNS's form are the same, ASCII case ignored.
bool dns_name_equal(const unsigned char *a, const unsigned char *b);

struct DnsQuestion {
    const unsigned char *name;
    int type;
};

// Writes a query with the given ID for the questions; with unicast, each
// asks for its answer by unicast (the top bit of its class, RFC 6762
// section 5.4). Returns its length, or 0 when it does not fit.
size_t dns_query(unsigned char *packet, size_t capacity, uint16_t id, const DnsQuestion *questions,
                 int count, bool unicast);

struct DnsMessage {
    const unsigned char *packet;
    size_t size;
    uint16_t id;
    bool response;  // QR set, opcode and RCODE 0
    unsigned int question_count;
    unsigned int questions_left, records_left;
    size_t at;
};

struct DnsRecord {
    unsigned char owner[DNS_NAME_MAX];
    int type;            // 0 for a class other than IN
    uint32_t ttl;        // 0: a goodbye, the record is withdrawn
    const unsigned char *data;
    size_t length;
    unsigned char name[DNS_NAME_MAX];  // a PTR's name, an SRV's target
    uint16_t port;                     // an SRV's
};

// Opens a message after checking all of it: within DNS_PACKET_MAX, exactly
// the questions and records it counts and nothing after them, every name
// within the packet and DNS_NAME_MAX (compression pointers only backwards,
// so that none can loop), and the data of A, PTR, SRV and TXT records well
// formed. Returns 0, or -1 for a message that does not hold.
int dns_message_open(DnsMessage *message, const unsigned char *packet, size_t size);

// The next question of an open message (its class's top bit dropped).
// Returns 0, or -1 after the last.
int dns_question_next(DnsMessage *message, unsigned char *name, int *type);

// The next record of any section, past the questions not yet read.
// Returns 0, or -1 after the last.
int dns_record_next(DnsMessage *message, DnsRecord *record);

// The next string of a TXT record's data from offset at: its text and
// length. Returns the offset after it, or 0 after the last.
size_t dns_txt_next(const DnsRecord *record, size_t at, const unsigned char **text,
                    size_t *length);

#endif
