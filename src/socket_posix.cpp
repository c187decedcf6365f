// The remote port's connection and the multicast query's socket on POSIX
// systems: BSD sockets, non-blocking, every wait through poll().
#include "socket.h"

#include <cerrno>
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

static int address_connect(const struct addrinfo *address, uint32_t timeout_ms)
{
    socket_fd = socket(address->ai_family, address->ai_socktype, address->ai_protocol);
    if (socket_fd < 0)
        return -1;
    int on = 1;
    int failed = 0;
    socklen_t failed_size = sizeof failed;
    if (fcntl(socket_fd, F_SETFD, FD_CLOEXEC) != 0 ||
        fcntl(socket_fd, F_SETFL, O_NONBLOCK) != 0 ||
        setsockopt(socket_fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0 ||
#ifdef SO_NOSIGPIPE
        setsockopt(socket_fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on) != 0 ||
#endif
        (connect(socket_fd, address->ai_addr, address->ai_addrlen) != 0 &&
         (errno != EINPROGRESS || socket_wait(POLLOUT, timeout_ms) != 1 ||
          getsockopt(socket_fd, SOL_SOCKET, SO_ERROR, &failed, &failed_size) != 0 ||
          failed != 0))) {
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
    if (getaddrinfo(host, service, &hints, &addresses) != 0)
        return -1;
    // An address that drops the attempt (IPv6 without a route to the
    // server, say) must not use up the next one's time.
    int result = -1;
    for (const struct addrinfo *address = addresses; address != nullptr && result != 0;
         address = address->ai_next)
        result = address_connect(address, timeout_ms);
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

enum { INTERFACES_MAX = 64 };

// One socket per interface, each bound to the interface's address.
static int datagram_fds[INTERFACES_MAX];
static int datagram_count;

// Every IPv4 interface that is up and can multicast, each address once.
static int interfaces_find(struct in_addr *interfaces)
{
    struct ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0)
        return -1;
    int count = 0;
    for (const struct ifaddrs *entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET ||
            (entry->ifa_flags & IFF_UP) == 0 || (entry->ifa_flags & IFF_MULTICAST) == 0)
            continue;
        struct in_addr address = reinterpret_cast<const struct sockaddr_in *>(entry->ifa_addr)->sin_addr;
        bool known = false;
        for (int i = 0; i < count; i++)
            known = known || interfaces[i].s_addr == address.s_addr;
        if (!known && count < INTERFACES_MAX)
            interfaces[count++] = address;
    }
    freeifaddrs(list);
    return count;
}

// A socket that sends through the interface of that address and is
// answered there. Linux sends a multicast from a socket bound to an
// interface's address through that interface; IP_MULTICAST_IF says so to
// the BSDs and macOS. Its failure is left to the bound address, as on an
// emulator that lacks the option (qemu-user).
static int interface_socket(struct in_addr address)
{
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    // RFC 6762 asks for 255 as the packets' time to live.
    unsigned char hops = 255;
    struct sockaddr_in local = {};
    local.sin_family = AF_INET;
    local.sin_addr = address;
    if (fd < 0 || fcntl(fd, F_SETFD, FD_CLOEXEC) != 0 || fcntl(fd, F_SETFL, O_NONBLOCK) != 0 ||
        setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &hops, sizeof hops) != 0 ||
        bind(fd, reinterpret_cast<const struct sockaddr *>(&local), sizeof local) != 0) {
        if (fd >= 0)
            close(fd);
        return -1;
    }
    (void)setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &address, sizeof address);
    return fd;
}

int datagram_open()
{
    struct in_addr interfaces[INTERFACES_MAX];
    int count = interfaces_find(interfaces);
    for (int i = 0; i < count; i++) {
        int fd = interface_socket(interfaces[i]);
        if (fd < 0) {
            datagram_close();
            return -1;
        }
        datagram_fds[datagram_count++] = fd;
    }
    return count;
}

int datagram_send(const void *data, size_t size, uint32_t group, uint16_t port)
{
    struct sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = group;
    int sent = 0;
    for (int i = 0; i < datagram_count; i++)
        if (sendto(datagram_fds[i], data, size, 0, reinterpret_cast<const struct sockaddr *>(&to),
                   sizeof to) == static_cast<ssize_t>(size))
            sent++;
    return sent > 0 ? 0 : -1;
}

long datagram_receive(void *buffer, size_t capacity, uint16_t port, uint32_t *source,
                      uint32_t timeout_ms)
{
    uint32_t started = clock_milliseconds();
    struct pollfd ready[INTERFACES_MAX];
    for (int i = 0; i < datagram_count; i++)
        ready[i] = {datagram_fds[i], POLLIN, 0};
    for (;;) {
        int result = poll(ready, static_cast<nfds_t>(datagram_count),
                          static_cast<int>(milliseconds_left(started, timeout_ms)));
        if (result == 0)
            return SOCKET_TIMEOUT;
        if (result < 0 && errno != EINTR)
            return -1;
        for (int i = 0; result > 0 && i < datagram_count; i++) {
            if (ready[i].revents == 0)
                continue;
            struct sockaddr_in from = {};
            socklen_t from_size = sizeof from;
            ssize_t got = recvfrom(datagram_fds[i], buffer, capacity, 0,
                                   reinterpret_cast<struct sockaddr *>(&from), &from_size);
            if (got >= 0 && from.sin_family == AF_INET && from.sin_port == htons(port)) {
                *source = from.sin_addr.s_addr;
                return static_cast<long>(got);
            }
            if (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                return -1;
        }
    }
}

void datagram_close()
{
    // A failed close leaves nothing to retry; the descriptor is gone either way.
    for (int i = 0; i < datagram_count; i++)
        close(datagram_fds[i]);
    datagram_count = 0;
}
