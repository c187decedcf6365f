// Boards found on the network: the queries that ask for them, and the
// choice among the services the answers tell of.
#include "mdns.h"

#include "pattern.h"
#include "port_list.h"
#include "port_search.h"
#include "rfc2217.h"
#include "serial_port.h"
#include "socket.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

static const char SCHEME[] = "mdns://";
static const char DEFAULT_TYPE[] = "_iostream._tcp";
static const unsigned char GROUP[4] = {224, 0, 0, 251};

enum : uint32_t {
    // Long enough to ask again past avahi's 500 ms (ASK_AGAIN_MS) and take
    // a multicast answer delayed by up to 120 ms (RFC 6762 section 6): two
    // lookups at once, right after another, need it.
    WAIT_DEFAULT_MS = 750,
    WAIT_MOST_MS = 60000,
    // Follow-up questions go out once the answers have stopped for this long.
    QUIET_MS = 25,
    // avahi multicasts the same records at most every 500 ms, and answers a
    // question asking for unicast meanwhile to a shared port, which only one
    // program on the host gets: past this, asking again brings a multicast.
    ASK_AGAIN_MS = 550,
    // A responder delays a multicast answer to a shared record by 20 to 120
    // ms (RFC 6762 section 6): past this since the question, every
    // responder that is going to answer it has.
    ANSWER_DELAY_MS = 125,
    // How often a lookup looks whether it may end before its window.
    WHOLE_CHECK_MS = 5,
};
// Why a lookup ran to its window's end rather than ending when its view
// was whole.
enum { ENDED_WHOLE, ENDED_CROWDED, ENDED_NO_MATCH, ENDED_NOT_WHOLE };
enum {
    MDNS_PORT = 5353,
    PATTERN_MAX = 512,
    QUERY_MAX = 1400,  // fits any link's packets
    HARDWARE_ID_MAX = 320,
};

struct Lookup {
    char pattern[PATTERN_MAX];
    unsigned long n;
    unsigned char type[DNS_NAME_MAX];
    uint32_t wait_ms;
};

// A service as it can be chosen: the address its host's records give, and
// the hardware ID hwgrep:// would give the board on its own host.
struct Candidate {
    const MdnsService *service;
    uint32_t address;  // network order; 0 when no address came
    bool rfc2217;
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
    char dotted[DNS_NAME_MAX];
    size_t domain = sizeof DOMAIN - 1;
    if (length + domain >= sizeof dotted || memchr(text, '\0', length) != nullptr)
        return -1;
    memcpy(dotted, text, length);
    dotted[length] = '\0';
    if (length < domain || !name_has_scheme(dotted + length - domain, DOMAIN))
        memcpy(dotted + length, DOMAIN, domain + 1);
    return dns_name_encode(dotted, type) != 0 ? 0 : -1;
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

static DatagramLink links[DATAGRAM_INTERFACES_MAX];
static int link_count;
static uint16_t next_id, own_id;

static bool link_asked(int link)
{
    return links[link].mode == LINK_SHARED || links[link].mode == LINK_LEGACY;
}

// Sends the questions on the link: from the shared port asking for unicast
// answers, or as a one-shot query, noted so that its answer can be judged.
static void query_send(MdnsAnswers *answers, int link, const DnsQuestion *questions, int count,
                       int asked)
{
    unsigned char packet[QUERY_MAX];
    bool shared = links[link].mode == LINK_SHARED && asked != ASKED_TYPE;
    if (!shared && answers->query_count == MDNS_QUERIES_MAX)
        return;
    // Queries from port 5353 carry ID 0 (RFC 6762 section 18.1).
    uint16_t id = shared ? 0 : next_id++;
    size_t size = dns_query(packet, sizeof packet, id, questions, count, shared);
    if (size == 0 || datagram_send(link, shared, packet, size) != 0 || shared)
        return;
    mdns_query_note(answers, id, link, asked, questions, count);
}

// Asks for the services of the type on every link: as a querier does,
// where the port is shared, and once the one-shot way besides, which is
// answered at once and tells which responders there are.
static void type_ask(MdnsAnswers *answers, bool again)
{
    const DnsQuestion question = {answers->type, DNS_PTR};
    unsigned char packet[QUERY_MAX];
    // Unlike other queries from port 5353, which carry ID 0 (RFC 6762
    // section 18.1 asks for it, and responders ignore it), this one carries
    // the run's own, so that another querier's question for the type, such
    // as another run's at the same moment, is told from ours.
    size_t size = dns_query(packet, sizeof packet, own_id, &question, 1, true);
    for (int link = 0; link < link_count; link++) {
        if (links[link].mode == LINK_SHARED)
            (void)datagram_send(link, true, packet, size);
        if (link_asked(link) && !again)
            query_send(answers, link, &question, 1, ASKED_TYPE);
    }
}

static const MdnsHost *host_of(const MdnsAnswers *answers, const MdnsService *service)
{
    const MdnsHost *found = nullptr;
    for (size_t i = 0; i < answers->host_count; i++) {
        const MdnsHost *host = &answers->hosts[i];
        if (host->responder == service->responder && dns_name_equal(host->name, service->target) &&
            (found == nullptr || (!found->on_link && host->on_link)))
            found = host;
    }
    return found;
}

// Asks, once for each, for what the answers left out: on a shared link in
// as few packets as the questions fit, the one-shot way one service at a
// time, as a one-shot answer of 512 bytes holds no more.
static void follow_ups_send(MdnsAnswers *answers)
{
    enum { BATCH = 32 };
    for (int link = 0; link < link_count; link++) {
        DnsQuestion batch[BATCH];
        int count = 0;
        size_t size = DNS_HEADER;
        for (size_t i = 0; i < answers->service_count; i++) {
            MdnsService *service = &answers->services[i];
            bool records = (!service->has_srv || !service->has_txt) && !service->asked;
            bool address = !records && service->has_srv && !service->address_asked &&
                           host_of(answers, service) == nullptr;
            if ((!records && !address) || service->withdrawn ||
                answers->responders[service->responder].link != link)
                continue;
            service->asked = true;
            service->address_asked = address;
            DnsQuestion asked[2] = {{service->name, DNS_SRV}, {service->name, DNS_TXT}};
            if (address)
                asked[0] = {service->target, DNS_A};
            int asking = records ? 2 : 1;
            if (links[link].mode != LINK_SHARED) {
                query_send(answers, link, asked, asking, records ? ASKED_RECORDS : ASKED_ADDRESS);
                continue;
            }
            size_t adding = asking * (dns_name_length(asked[0].name) + 4);
            if (count + asking > BATCH || size + adding > QUERY_MAX) {
                query_send(answers, link, batch, count, ASKED_RECORDS);
                count = 0;
                size = DNS_HEADER;
            }
            for (int q = 0; q < asking; q++)
                batch[count++] = asked[q];
            size += adding;
        }
        if (count > 0)
            query_send(answers, link, batch, count, ASKED_RECORDS);
    }
}

// Whether a responder's one-shot answer came full: it has more to tell.
// With unseen_only, only when it did not answer by multicast either: a
// unicast answer on the shared port can be shared out between two runs,
// and where that port could not be had none comes.
static bool responder_cut(const MdnsResponder *responder, bool unseen_only)
{
    return responder->legacy_full && !responder->flooded && (!unseen_only || !responder->multicast);
}

static bool responders_cut(const MdnsAnswers *answers, bool unseen_only)
{
    for (size_t i = 0; i < answers->responder_count; i++)
        if (responder_cut(&answers->responders[i], unseen_only))
            return true;
    return false;
}

// The link an answer came by: the one whose socket it came to, and for
// the group's socket the one whose network holds the sender most closely.
// Answers from outside the link's network are not from the link (RFC 6762
// section 11).
static int link_of(const DatagramFrom *from)
{
    int found = -1;
    for (int link = 0; link < link_count; link++) {
        const DatagramLink *here = &links[link];
        if (!link_asked(link) || (from->link >= 0 && from->link != link) ||
            (from->address & here->netmask) != (here->address & here->netmask))
            continue;
        // Of two netmasks, the longer holds every bit of the shorter.
        uint32_t longest = found < 0 ? 0 : links[found].netmask;
        if (found < 0 || (here->netmask != longest && (here->netmask & longest) == longest))
            found = link;
    }
    return found;
}

static int choice_ready(const MdnsAnswers *answers);

// Whether every responder that answered was seen whole and every service's
// records are in: a choice then rests on all that could be chosen from.
static bool view_whole(const MdnsAnswers *answers)
{
    if (answers->full || responders_cut(answers, true))
        return false;
    for (size_t i = 0; i < answers->service_count; i++) {
        const MdnsService *service = &answers->services[i];
        if (!service->withdrawn &&
            (!service->has_srv || !service->has_txt || host_of(answers, service) == nullptr))
            return false;
    }
    return true;
}

// Asks the network and takes the answers until the view is whole and holds
// the board, past the time any responder may take to answer, or else until
// the window closes; no answer moves the window's end. Another querier of
// the type on the link (a run at the same moment) may share out the
// answers unseen, and keeps the lookup to its window. Returns 0, or -1
// when no link could be asked or the sockets failed; *ended says why the
// lookup ran to its window's end, if it did.
static int answers_gather(MdnsAnswers *answers, const Lookup *lookup, int *ended)
{
    static unsigned char packet[DNS_PACKET_MAX + 1];
    uint32_t started = clock_milliseconds();
    uint32_t group;
    memcpy(&group, GROUP, sizeof group);
    mdns_answers_clear(answers, lookup->type);
    next_id = static_cast<uint16_t>(clock_microseconds() * 2654435761u >> 16);
    own_id = next_id++ | 1;  // never 0, as another querier's may be
    link_count = datagram_open(group, MDNS_PORT, links, DATAGRAM_INTERFACES_MAX);
    bool any = false;
    for (int link = 0; link < link_count; link++)
        any = any || link_asked(link);
    if (!any) {
        datagram_close();
        return -1;
    }
    type_ask(answers, false);
    bool pending = false, again = false, failed = false;
    uint32_t changed = started;  // when the answers last told something new
    // When the type was last asked, on the finer clock: Windows' tick is
    // 16 ms, as much as the margin past a responder's longest delay.
    uint64_t asked = clock_microseconds();
    const uint64_t delay = uint64_t{ANSWER_DELAY_MS} * 1000u;
    uint32_t checked = started;
    bool crowded = false;  // another querier asked for the type
    bool owed = true;      // the view may have become whole since it was last looked at
    *ended = ENDED_NO_MATCH;
    for (;;) {
        uint32_t now = clock_milliseconds();
        uint32_t spent = now - started, still = now - changed;
        uint32_t left = milliseconds_left(started, lookup->wait_ms);
        uint64_t since = clock_microseconds() - asked;
        if (crowded)
            *ended = ENDED_CROWDED;
        else if (owed && since >= delay && now - checked >= WHOLE_CHECK_MS) {
            checked = now;
            owed = false;
            *ended = view_whole(answers) ? choice_ready(answers) : ENDED_NOT_WHOLE;
            if (*ended == ENDED_WHOLE)
                break;
        }
        // Unicast answers on the shared port reach one of the programs on
        // it, and a responder's packets can be shared out between two runs
        // that bind in the middle of its answer: a host whose one-shot
        // answer came full is asked again, for a multicast that all get.
        if (!again && spent >= ASK_AGAIN_MS && left > QUIET_MS * 4 &&
            responders_cut(answers, true)) {
            again = true;
            type_ask(answers, true);
            asked = clock_microseconds();
            owed = true;
        }
        // What the answers left out is asked for once they have told
        // nothing new for a while; other answers on the link, which tell
        // nothing the run keeps, do not put that off.
        if (pending && still >= QUIET_MS && left > 0) {
            follow_ups_send(answers);
            pending = false;
        }
        uint32_t wait = pending && QUIET_MS - still < left ? QUIET_MS - still : left;
        if (!again && spent < ASK_AGAIN_MS && wait > ASK_AGAIN_MS - spent)
            wait = ASK_AGAIN_MS - spent;
        if (owed && !crowded) {  // wake for the look that is owed
            uint32_t due = since < delay ? static_cast<uint32_t>((delay - since + 999u) / 1000u)
                           : now - checked < WHOLE_CHECK_MS ? WHOLE_CHECK_MS - (now - checked)
                                                            : 0;
            wait = wait < due ? wait : due;
        }
        DatagramFrom from;
        long size = datagram_receive(packet, sizeof packet, &from, wait);
        if (size < 0 && size != SOCKET_TIMEOUT) {
            failed = true;
            break;  // no choice from what happened to come before
        }
        int link = size >= 0 && from.port == MDNS_PORT ? link_of(&from) : -1;
        uint16_t id;
        if (link >= 0 && mdns_asks_type(answers, packet, static_cast<size_t>(size), &id))
            crowded = crowded || id != own_id;
        if (link >= 0 &&
            mdns_answers_take(answers, packet, static_cast<size_t>(size), from.address, links[link].address,
                              links[link].netmask, link, from.shared, from.group) > 0) {
            pending = owed = true;
            changed = clock_milliseconds();
        }
        if (left == 0)
            break;
    }
    datagram_close();
    return failed ? -1 : 0;
}

// Whether the text holds the word (in lower case), case ignored.
static bool text_holds(const char *text, const char *word)
{
    for (; *text != '\0'; text++)
        if (name_has_scheme(text, word))
            return true;
    return false;
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
    // The TXT keys that say what the board is, keys compared without case.
    static const char *const KEYS[] = {"gensiostack", "serial", "idvendor", "idproduct"};
    const char *values[4] = {};
    for (const char *text = service->txt; text < service->txt + service->txt_length;
         text += strlen(text) + 1)
        for (int key = 0; key < 4; key++) {
            size_t length = strlen(KEYS[key]);
            if (values[key] == nullptr && name_has_scheme(text, KEYS[key]) && text[length] == '=')
                values[key] = text + length + 1;
        }
    const char *stack = values[0], *serial = values[1];
    candidate->service = service;
    candidate->address = host != nullptr ? host->address : 0;
    candidate->rfc2217 = stack != nullptr && text_holds(stack, "rfc2217");
    unsigned int vendor, product;
    candidate->hardware_id[0] = '\0';
    if (usb_id_parse(values[2], &vendor) == 0 && usb_id_parse(values[3], &product) == 0)
        snprintf(candidate->hardware_id, sizeof candidate->hardware_id,
                 "USB VID:PID=%04X:%04X%s%s", vendor, product, serial != nullptr ? " SER=" : "",
                 serial != nullptr ? serial : "");
}

static bool complete(const Candidate *candidate)
{
    return candidate->address != 0 && candidate->service->has_txt;
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

// Whether two services are one board told of twice: one place to
// connect to (address and port), one name and one identity (its TXT),
// whatever host name its SRV gives and whoever told of it.
static bool same_board(const Candidate *a, const Candidate *b)
{
    const MdnsService *x = a->service, *y = b->service;
    return complete(a) && complete(b) && a->address == b->address && x->port == y->port &&
           dns_name_equal(x->name, y->name) && x->txt_length == y->txt_length &&
           memcmp(x->txt, y->txt, x->txt_length) == 0;
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

// Whether a service whose records did not all come could be a match: one
// without its TXT could be anything.
static bool could_match(const PatternProgram *program, const Candidate *candidate)
{
    return !candidate->service->has_txt ||
           (candidate->rfc2217 && candidate_matches(program, candidate));
}

// An IPv4 address, in network order, as dotted text, and the port after
// it unless that is 0.
static const char *ipv4_text(uint32_t address, unsigned int port = 0)
{
    static char text[32];
    const unsigned char *octets = reinterpret_cast<const unsigned char *>(&address);
    int length = snprintf(text, sizeof text, "%u.%u.%u.%u", octets[0], octets[1], octets[2], octets[3]);
    if (port != 0)
        snprintf(text + length, sizeof text - length, ":%u", port);
    return text;
}

static const char *hardware_id_text(const Candidate *candidate)
{
    return candidate->hardware_id[0] != '\0' ? search_text_escaped(candidate->hardware_id) : "n/a";
}

// How the run asked where that was not the full way.
static void links_print()
{
    static const char *const WHY[] = {"port 5353 is held by another program",
                                      "port 5353 cannot be shared on this system",
                                      "the mDNS group could not be joined there"};
    if (link_count <= 0)
        fputs("mDNS: no interface that can multicast, not asked\n", stderr);
    for (int link = 0; link < link_count; link++) {
        const char *dotted = ipv4_text(links[link].address);
        if (links[link].mode == LINK_LEGACY)
            fprintf(stderr, "mDNS on %s: %s, asked with a one-shot query: a busy host's answer may "
                            "leave boards out\n", dotted, WHY[links[link].legacy_cause]);
        else if (links[link].mode == LINK_FAILED)
            fprintf(stderr, "mDNS on %s: no socket could be opened there, not asked\n", dotted);
        else if (links[link].mode == LINK_BEYOND)
            fprintf(stderr, "mDNS on %s: past the %d interfaces a run asks, not asked\n", dotted,
                    DATAGRAM_LINKS_MAX);
    }
}

// The responders whose services are not all seen, and what would help.
static void responders_print(const MdnsAnswers *answers)
{
    for (size_t i = 0; i < answers->responder_count; i++) {
        const MdnsResponder *responder = &answers->responders[i];
        const char *dotted = ipv4_text(responder->address);
        if (responder->flooded)
            fprintf(stderr, "%s told of more than %d services or addresses: it is left out\n",
                    dotted, MDNS_RESPONDER_SERVICES_MAX);
        else if (responder_cut(responder, true))
            fprintf(stderr, "%s answered with a full packet: services it left out are not seen%s\n",
                    dotted, links[responder->link].mode == LINK_SHARED ? ""
                    : " (free port 5353 to see them, or name the board by its rfc2217:// address)");
    }
    if (answers->full)
        fputs("more answered than a run keeps: some services are not seen\n", stderr);
}

// Every service seen, in the form of the hwgrep:// listing, with the TXT
// strings the pattern is also searched in, and what was not seen.
static void candidates_print(const MdnsAnswers *answers, const Candidate *candidates,
                             size_t count)
{
    for (size_t i = 0; i < count; i++) {
        const Candidate *candidate = &candidates[i];
        const MdnsService *service = candidate->service;
        const char *address = ipv4_text(candidate->address, service->port);
        fprintf(stderr, "%-20s\n", search_text_escaped(service->instance));
        if (!complete(candidate))
            fputs("    addr: unknown (cannot be chosen: its records did not all come)\n", stderr);
        else if (candidate->rfc2217)
            fprintf(stderr, "    addr: rfc2217://%s\n", address);
        else
            fprintf(stderr, "    addr: %s (cannot be chosen: not RFC 2217)\n", address);
        fprintf(stderr, "    hwid: %s\n", hardware_id_text(candidate));
        for (const char *text = service->txt; text < service->txt + service->txt_length;
             text += strlen(text) + 1)
            fprintf(stderr, "    txt: %s\n", search_text_escaped(text));
    }
    if (count == 0)
        fputs("no services found\n", stderr);
    else
        fprintf(stderr, "%lu services found\n", static_cast<unsigned long>(count));
    responders_print(answers);
}

// The services that can be listed, in order, one of each board: the same
// board told of twice sorts next to itself, and is kept once.
static size_t candidates_make(const MdnsAnswers *answers, Candidate *candidates)
{
    size_t count = 0, kept = 0;
    for (size_t i = 0; i < answers->service_count; i++)
        if (!answers->services[i].withdrawn)
            candidate_make(&candidates[count++], answers, &answers->services[i]);
    qsort(candidates, count, sizeof candidates[0], candidate_compare);
    for (size_t i = 0; i < count; i++) {
        bool twice = false;
        for (size_t j = kept; j-- > 0 && !twice &&
                              candidate_compare(&candidates[j], &candidates[i]) == 0;)
            twice = same_board(&candidates[j], &candidates[i]);
        if (!twice)
            candidates[kept++] = candidates[i];
    }
    return kept;
}

// The N-th match among the whole services. It is refused when a service
// that did not all come, at or before it in the order, could have been a
// match, or when services were let go or never seen: the choice would
// then rest on what happened to arrive.
enum { NONE_MATCHES, REFUSED };
static const Candidate *candidate_choose(const MdnsAnswers *answers, const PatternProgram *program,
                                         const Candidate *candidates, size_t count, unsigned long n,
                                         int *why)
{
    const Candidate *chosen = nullptr;
    for (size_t i = 0; i < count && chosen == nullptr; i++)
        if (complete(&candidates[i]) && candidates[i].rfc2217 &&
            candidate_matches(program, &candidates[i]) && --n == 0)
            chosen = &candidates[i];
    *why = chosen == nullptr ? NONE_MATCHES : REFUSED;
    if (chosen == nullptr || answers->full || responders_cut(answers, true))
        return nullptr;
    for (size_t i = 0; i < count; i++)
        if (!complete(&candidates[i]) && could_match(program, &candidates[i]) &&
            name_compare(candidates[i].service->instance, chosen->service->instance) <= 0)
            return nullptr;
    return chosen;
}

static PatternProgram program;
static Lookup lookup;
static Candidate candidates[MDNS_SERVICES_MAX];

// Whether the answers, seen whole, hold the board: ENDED_WHOLE, or
// ENDED_NO_MATCH while a board slow to answer may still come.
static int choice_ready(const MdnsAnswers *answers)
{
    int why;
    size_t count = candidates_make(answers, candidates);
    return candidate_choose(answers, &program, candidates, count, lookup.n, &why) != nullptr
               ? ENDED_WHOLE
               : ENDED_NO_MATCH;
}

int mdns_search(const char *name, char *found, size_t capacity)
{
    static const char *const WHY[] = {
        "", "another querier asked for the type meanwhile, and may have had part of the answers",
        "nothing matched, and a board may be slow to answer", "not every answer was seen whole"};
    static MdnsAnswers answers;
    if (lookup_parse(name, &lookup) != 0) {
        port_reason_set("an option after the pattern is unknown, or its n, type or wait is bad");
        return -1;
    }
    if (lookup_pattern_compile(&program, lookup.pattern) != 0)
        return -1;
    int ended;
    int gathered = answers_gather(&answers, &lookup, &ended);
    if (port_search_report != 0)
        links_print();
    if (gathered != 0)
        return -1;
    size_t count = candidates_make(&answers, candidates);
    int why;
    const Candidate *chosen = candidate_choose(&answers, &program, candidates, count, lookup.n, &why);
    if (chosen != nullptr) {
        const char *address = ipv4_text(chosen->address, chosen->service->port);
        if (static_cast<size_t>(snprintf(found, capacity, "rfc2217://%s", address)) >= capacity)
            return -1;
        if (port_search_report != 0) {
            printf("Found: '%s'", search_text_escaped(chosen->service->instance));
            printf(" rfc2217://%s %s\n", address, hardware_id_text(chosen));
            fflush(stdout);
            responders_print(&answers);
        }
        return 0;
    }
    if (port_search_report != 0) {
        if (ended != ENDED_WHOLE)
            fprintf(stderr, "mDNS: the lookup ran to the end of its window: %s\n", WHY[ended]);
        candidates_print(&answers, candidates, count);
        if (why == REFUSED)
            fputs("a match was found, but services not seen whole could change the choice: "
                  "refused\n", stderr);
    }
    return -1;
}
