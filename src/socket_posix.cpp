// The remote port's connection and the multicast query's socket on POSIX
// systems: BSD sockets, non-blocking, every wait through poll().
#include "socket.h"

#include "serial_port.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

static int socket_fd = -1;

uint64_t clock_microseconds()
{
    // CLOCK_MONOTONIC always exists, so clock_gettime cannot fail here.
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
}

uint32_t clock_milliseconds()
{
    return static_cast<uint32_t>(clock_microseconds() / 1000u);
}

// Waits for the events on the socket. Returns 1 when they came, 0 when the
// time ran out, -1 on failure.
static int descriptor_wait(int fd, short events, uint32_t timeout_ms)
{
    uint32_t started = clock_milliseconds();
    for (;;) {
        uint32_t spent = clock_milliseconds() - started;
        if (spent > timeout_ms)
            return 0;
        struct pollfd ready = {fd, events, 0};
        int result = poll(&ready, 1, static_cast<int>(timeout_ms - spent));
        if (result >= 0)
            return result > 0 ? 1 : 0;
        if (errno != EINTR)
            return -1;
    }
}

static int socket_wait(short events, uint32_t timeout_ms)
{
    return descriptor_wait(socket_fd, events, timeout_ms);
}

// Each small request is sent at once rather than held back by Nagle's
// algorithm, and Linux is asked to acknowledge what arrives at once: a
// delayed acknowledgement would hold the server's next answer back by
// 40 ms or more. Linux forgets that request after a while, hence it is
// made again after every read.
static void quick_acks()
{
#ifdef TCP_QUICKACK
    int on = 1;
    (void)setsockopt(socket_fd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
#endif
}

static int address_connect(const struct addrinfo *address, const char *service,
                           uint32_t timeout_ms)
{
    socket_fd = socket(address->ai_family, address->ai_socktype, address->ai_protocol);
    if (socket_fd < 0)
        return -1;
    int on = 1;
    int failed = 0, waited = 1;
    socklen_t failed_size = sizeof failed;
    if (fcntl(socket_fd, F_SETFD, FD_CLOEXEC) != 0 ||
        fcntl(socket_fd, F_SETFL, O_NONBLOCK) != 0 ||
        setsockopt(socket_fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0 ||
#ifdef SO_NOSIGPIPE
        setsockopt(socket_fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on) != 0 ||
#endif
        (connect(socket_fd, address->ai_addr, address->ai_addrlen) != 0 &&
         (errno != EINPROGRESS || (waited = socket_wait(POLLOUT, timeout_ms)) != 1 ||
          getsockopt(socket_fd, SOL_SOCKET, SO_ERROR, &failed, &failed_size) != 0 ||
          failed != 0))) {
        const char *why = waited == 0 ? "no answer in time" : strerror(failed != 0 ? failed : errno);
        char numeric[64] = "?";
        (void)getnameinfo(address->ai_addr, address->ai_addrlen, numeric, sizeof numeric, nullptr,
                          0, NI_NUMERICHOST);
        port_reason_set("no connection to %s port %s: %s", numeric, service, why);
        socket_close();
        return -1;
    }
    quick_acks();
    return 0;
}

int socket_connect(const char *host, const char *service, uint32_t timeout_ms)
{
    struct addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    struct addrinfo *addresses = nullptr;
    int resolved = getaddrinfo(host, service, &hints, &addresses);
    if (resolved != 0) {
        port_reason_set("%s does not resolve: %s", host, gai_strerror(resolved));
        return -1;
    }
    // An address that drops the attempt (IPv6 without a route to the
    // server, say) must not use up the next one's time.
    int result = -1;
    for (const struct addrinfo *address = addresses; address != nullptr && result != 0;
         address = address->ai_next)
        result = address_connect(address, service, timeout_ms);
    freeaddrinfo(addresses);
    return result;
}

int socket_send(const void *data, size_t size, uint32_t timeout_ms)
{
#ifdef MSG_NOSIGNAL
    const int flags = MSG_NOSIGNAL;
#else
    const int flags = 0;  // SO_NOSIGPIPE was set at the connect
#endif
    const char *next = static_cast<const char *>(data);
    uint32_t started = clock_milliseconds();
    while (size > 0) {
        ssize_t sent = send(socket_fd, next, size, flags);
        if (sent > 0) {
            next += sent;
            size -= static_cast<size_t>(sent);
            continue;
        }
        if (sent == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
            return -1;
        int ready = socket_wait(POLLOUT, milliseconds_left(started, timeout_ms));
        if (ready <= 0)
            return ready == 0 ? SOCKET_TIMEOUT : -1;
    }
    return 0;
}

long socket_receive(void *buffer, size_t capacity, uint32_t timeout_ms)
{
    uint32_t started = clock_milliseconds();
    for (;;) {
        int ready = socket_wait(POLLIN, milliseconds_left(started, timeout_ms));
        if (ready <= 0)
            return ready == 0 ? SOCKET_TIMEOUT : -1;
        ssize_t got = recv(socket_fd, buffer, capacity, 0);
        if (got >= 0) {
            quick_acks();
            return static_cast<long>(got);
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            return -1;
    }
}

int socket_shutdown()
{
    return shutdown(socket_fd, SHUT_WR) == 0 ? 0 : -1;
}

void socket_close()
{
    if (socket_fd < 0)
        return;
    // A failed close leaves nothing to retry; the descriptor is gone either way.
    close(socket_fd);
    socket_fd = -1;
}

// Each link's sockets: the group's, on the shared port and on its own.
// A group socket hears only its own link where the system can say so
// (IP_MULTICAST_ALL off on Linux; the BSDs and macOS filter by interface
// of themselves); elsewhere it hears every link, and one such is enough.
static int group_fds[DATAGRAM_LINKS_MAX], shared_fds[DATAGRAM_LINKS_MAX], own_fds[DATAGRAM_LINKS_MAX];
static bool group_heard[DATAGRAM_LINKS_MAX], group_own_link[DATAGRAM_LINKS_MAX];
static int link_count;
static uint32_t group_address;
static uint16_t group_port;
static int next_turn;

// Every IPv4 interface that is up and can multicast, each address once;
// past the links that get sockets, as LINK_BEYOND.
static int interfaces_find(DatagramLink *links, int capacity)
{
    struct ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0)
        return -1;
    int count = 0;
    for (const struct ifaddrs *entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET ||
            entry->ifa_netmask == nullptr || (entry->ifa_flags & IFF_UP) == 0 ||
            (entry->ifa_flags & IFF_MULTICAST) == 0)
            continue;
        uint32_t address = reinterpret_cast<const struct sockaddr_in *>(entry->ifa_addr)->sin_addr.s_addr;
        bool known = false;
        for (int i = 0; i < count; i++)
            known = known || links[i].address == address;
        if (!known && count < capacity) {
            links[count].address = address;
            links[count].netmask =
                reinterpret_cast<const struct sockaddr_in *>(entry->ifa_netmask)->sin_addr.s_addr;
            links[count].legacy_cause = LINK_PORT_HELD;
            links[count].mode = count < DATAGRAM_LINKS_MAX ? LINK_FAILED : LINK_BEYOND;
            count++;
        }
    }
    freeifaddrs(list);
    return count;
}

static void descriptor_close(int *fd)
{
    // A failed close leaves nothing to retry; the descriptor is gone either way.
    if (*fd >= 0)
        close(*fd);
    *fd = -1;
}

// A datagram socket bound to the address and port. shared: other programs
// may bind the same, as every mDNS responder and querier on a host does;
// cause then tells why it could not be had.
static int datagram_socket(uint32_t address, uint16_t port, bool shared, int *cause = nullptr)
{
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    int on = 1;
    struct sockaddr_in local = {};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    local.sin_addr.s_addr = address;
    bool sharing = fd >= 0 && fcntl(fd, F_SETFD, FD_CLOEXEC) == 0 &&
                   fcntl(fd, F_SETFL, O_NONBLOCK) == 0 &&
                   (!shared || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0);
#if defined(SO_REUSEPORT) && !defined(__linux__)
    // The BSDs and macOS share a port only with it. Linux needs SO_REUSEADDR
    // alone, and there SO_REUSEPORT would give each multicast datagram to
    // one socket of all that have it, another run's or another link's.
    sharing = sharing && (!shared || setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on) == 0);
#endif
    if (!sharing || bind(fd, reinterpret_cast<const struct sockaddr *>(&local), sizeof local) != 0) {
        if (cause != nullptr)
            *cause = sharing ? LINK_PORT_HELD : LINK_NO_SHARING;
        descriptor_close(&fd);
        return -1;
    }
    // Room for a link's answers arriving at once: several hosts of many
    // boards answer in dozens of packets. The system may give less.
    int room = 1 << 20;
    (void)setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
    return fd;
}

// A socket that sends through the interface of that address. Linux sends a
// multicast from a socket bound to an interface's address through that
// interface; IP_MULTICAST_IF says so to the BSDs and macOS. Its failure is
// left to the bound address, as on an emulator that lacks the option
// (qemu-user).
static int sending_socket(uint32_t address, uint16_t port, bool shared, int *cause = nullptr)
{
    int fd = datagram_socket(address, port, shared, cause);
    // RFC 6762 asks for 255 as the packets' time to live.
    unsigned char hops = 255;
    if (fd >= 0 && setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &hops, sizeof hops) != 0)
        descriptor_close(&fd);
    struct in_addr interface;
    interface.s_addr = address;
    if (fd >= 0)
        (void)setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &interface, sizeof interface);
    return fd;
}

// The link's group socket: on port 5353 for every address, joined to the
// group on the link's interface alone, so that no limit on a socket's
// memberships (20 on Linux by default) leaves a link out.
static int group_socket(int link, uint32_t interface, int *cause)
{
    int fd = datagram_socket(htonl(INADDR_ANY), group_port, true, cause);
    if (fd < 0)
        return -1;
    group_own_link[link] = true;
#ifdef IP_MULTICAST_ALL
    int off = 0;
    group_own_link[link] = setsockopt(fd, IPPROTO_IP, IP_MULTICAST_ALL, &off, sizeof off) == 0;
#endif
    struct ip_mreq membership = {};
    membership.imr_multiaddr.s_addr = group_address;
    membership.imr_interface.s_addr = interface;
    if (setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) != 0) {
        *cause = LINK_JOIN_FAILED;
        descriptor_close(&fd);
    }
    return fd;
}

int datagram_open(uint32_t group, uint16_t port, DatagramLink *links, int capacity)
{
    int count = interfaces_find(links, capacity);
    if (count < 0)
        return -1;
    group_address = group;
    group_port = port;
    bool heard = false;  // a group socket that hears every link is polled
    for (link_count = 0; link_count < count && link_count < DATAGRAM_LINKS_MAX; link_count++) {
        DatagramLink *link = &links[link_count];
        int i = link_count;
        own_fds[i] = sending_socket(link->address, 0, false);
        shared_fds[i] = group_fds[i] = -1;
        if (own_fds[i] >= 0)
            group_fds[i] = group_socket(i, link->address, &link->legacy_cause);
        if (group_fds[i] >= 0)
            shared_fds[i] = sending_socket(link->address, port, true, &link->legacy_cause);
        if (shared_fds[i] < 0)
            descriptor_close(&group_fds[i]);
        group_heard[i] = group_fds[i] >= 0 && (group_own_link[i] || !heard);
        heard = heard || (group_fds[i] >= 0 && !group_own_link[i]);
        link->mode = own_fds[i] < 0 ? LINK_FAILED : shared_fds[i] < 0 ? LINK_LEGACY : LINK_SHARED;
    }
    return count;
}

int datagram_send(int link, bool shared, const void *data, size_t size)
{
    struct sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons(group_port);
    to.sin_addr.s_addr = group_address;
    int fd = link < 0 || link >= link_count ? -1 : shared ? shared_fds[link] : own_fds[link];
    return fd >= 0 && sendto(fd, data, size, 0, reinterpret_cast<const struct sockaddr *>(&to),
                             sizeof to) == static_cast<ssize_t>(size)
               ? 0
               : -1;
}

long datagram_receive(void *buffer, size_t capacity, DatagramFrom *from, uint32_t timeout_ms)
{
    // Three a link: the group's, the shared port's, its own port's.
    struct pollfd ready[3 * DATAGRAM_LINKS_MAX];
    int count = 0;
    for (int i = 0; i < link_count; i++) {
        ready[count++] = {group_heard[i] ? group_fds[i] : -1, POLLIN, 0};
        ready[count++] = {shared_fds[i], POLLIN, 0};
        ready[count++] = {own_fds[i], POLLIN, 0};
    }
    uint32_t started = clock_milliseconds();
    for (bool first = true;; first = false) {
        uint32_t left = milliseconds_left(started, timeout_ms);
        if (left == 0 && !first)
            return SOCKET_TIMEOUT;
        int result = poll(ready, static_cast<nfds_t>(count), static_cast<int>(left));
        if (result == 0)
            return SOCKET_TIMEOUT;
        if (result < 0 && errno != EINTR)
            return -1;
        for (int turn = 0; result > 0 && turn < count; turn++) {
            int i = (next_turn + turn) % count;
            if (ready[i].fd < 0 || ready[i].revents == 0)
                continue;
            struct sockaddr_in source = {};
            socklen_t source_size = sizeof source;
            ssize_t got = recvfrom(ready[i].fd, buffer, capacity, 0,
                                   reinterpret_cast<struct sockaddr *>(&source), &source_size);
            if (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                return -1;
            if (got < 0 || source.sin_family != AF_INET)
                continue;
            next_turn = i + 1;
            int link = i / 3;
            from->address = source.sin_addr.s_addr;
            from->port = ntohs(source.sin_port);
            from->link = i % 3 == 0 && !group_own_link[link] ? -1 : link;
            from->shared = i % 3 != 2;
            from->group = i % 3 == 0;
            return static_cast<long>(got);
        }
    }
}

void datagram_close()
{
    for (int i = 0; i < link_count; i++) {
        descriptor_close(&group_fds[i]);
        descriptor_close(&shared_fds[i]);
        descriptor_close(&own_fds[i]);
    }
    link_count = 0;
}
