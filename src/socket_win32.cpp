// The remote port's connection and the multicast query's socket on Windows:
// Winsock 2, non-blocking, every wait through select(). Only what Windows 2000's ws2_32.dll has is
// imported; getaddrinfo (Windows XP and later) is looked up at run time.
// Up to 32 links of two sockets each, and the group's, in one select().
#define FD_SETSIZE 100
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include "socket.h"

#include "serial_port.h"

#include <cstdlib>

static SOCKET socket_handle = INVALID_SOCKET;
// The group's sockets, each joined on as many links as the system lets
// one socket join, and each link's on the shared port and on its own.
static SOCKET group_handles[DATAGRAM_LINKS_MAX];
static int group_count;
static SOCKET shared_handles[DATAGRAM_LINKS_MAX], own_handles[DATAGRAM_LINKS_MAX];
static int link_count;
static bool winsock_started;

typedef int(WSAAPI *getaddrinfo_function)(const char *, const char *, const struct addrinfo *,
                                          struct addrinfo **);
typedef void(WSAAPI *freeaddrinfo_function)(struct addrinfo *);

uint32_t clock_milliseconds()
{
    return GetTickCount();
}

uint64_t clock_microseconds()
{
    // The performance counter exists on every system since Windows 2000 that
    // runs on a processor of this century; GetTickCount steps in 10 to 16 ms,
    // far too coarse to time a hold by.
    LARGE_INTEGER count, frequency;
    if (!QueryPerformanceFrequency(&frequency) || !QueryPerformanceCounter(&count) ||
        frequency.QuadPart <= 0)
        return uint64_t{GetTickCount()} * 1000u;
    uint64_t ticks = static_cast<uint64_t>(count.QuadPart);
    uint64_t rate = static_cast<uint64_t>(frequency.QuadPart);
    return ticks / rate * 1000000u + ticks % rate * 1000000u / rate;
}

// Waits until the socket can be written (or its connect has ended) or read.
// Returns 1 when it can, 0 when the time ran out, -1 on failure.
static int handle_wait(SOCKET handle, bool write, uint32_t timeout_ms)
{
    fd_set ready;
    fd_set failed;
    FD_ZERO(&ready);
    FD_ZERO(&failed);
    FD_SET(handle, &ready);
    FD_SET(handle, &failed);
    struct timeval wait;
    wait.tv_sec = static_cast<long>(timeout_ms / 1000);
    wait.tv_usec = static_cast<long>(timeout_ms % 1000) * 1000;
    int result = select(0, write ? nullptr : &ready, write ? &ready : nullptr,
                        write ? &failed : nullptr, &wait);
    if (result == SOCKET_ERROR)
        return -1;
    if (result == 0)
        return 0;
    // A connect that failed is reported through the exception set.
    return FD_ISSET(handle, &ready) ? 1 : -1;
}

static int socket_wait(bool write, uint32_t timeout_ms)
{
    return handle_wait(socket_handle, write, timeout_ms);
}

static int address_connect(int family, const struct sockaddr *address, int length,
                           uint32_t timeout_ms)
{
    socket_handle = socket(family, SOCK_STREAM, IPPROTO_TCP);
    if (socket_handle == INVALID_SOCKET)
        return -1;
    u_long non_blocking = 1;
    BOOL on = TRUE;
    int failed = 0;
    int failed_size = sizeof failed;
    // Each small request goes out at once, not held back by Nagle's algorithm.
    if (ioctlsocket(socket_handle, FIONBIO, &non_blocking) != 0 ||
        setsockopt(socket_handle, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&on),
                   sizeof on) != 0 ||
        (connect(socket_handle, address, length) != 0 &&
         (WSAGetLastError() != WSAEWOULDBLOCK || socket_wait(true, timeout_ms) != 1 ||
          getsockopt(socket_handle, SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&failed),
                     &failed_size) != 0 ||
          failed != 0))) {
        closesocket(socket_handle);
        socket_handle = INVALID_SOCKET;
        return -1;
    }
    return 0;
}

// Windows 2000 has no getaddrinfo: there an IPv4 address or a name that
// resolves to IPv4 addresses is all that can be reached.
static int ipv4_connect(const char *host, const char *service, uint32_t timeout_ms)
{
    struct sockaddr_in address;
    ZeroMemory(&address, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(strtoul(service, nullptr, 10)));
    address.sin_addr.s_addr = inet_addr(host);
    if (address.sin_addr.s_addr != INADDR_NONE)
        return address_connect(AF_INET, reinterpret_cast<struct sockaddr *>(&address),
                               sizeof address, timeout_ms);
    const struct hostent *entry = gethostbyname(host);
    if (entry == nullptr || entry->h_addrtype != AF_INET ||
        entry->h_length != sizeof address.sin_addr)
        return -1;
    for (char **next = entry->h_addr_list; *next != nullptr; next++) {
        CopyMemory(&address.sin_addr, *next, sizeof address.sin_addr);
        if (address_connect(AF_INET, reinterpret_cast<struct sockaddr *>(&address),
                            sizeof address, timeout_ms) == 0)
            return 0;
    }
    return -1;
}

static int winsock_start()
{
    WSADATA data;
    if (!winsock_started && WSAStartup(MAKEWORD(2, 2), &data) != 0)
        return -1;
    winsock_started = true;
    return 0;
}

int socket_connect(const char *host, const char *service, uint32_t timeout_ms)
{
    if (winsock_start() != 0)
        return -1;
    HMODULE winsock = GetModuleHandleA("ws2_32.dll");
    getaddrinfo_function resolve = nullptr;
    freeaddrinfo_function release = nullptr;
    if (winsock != nullptr) {
        resolve = reinterpret_cast<getaddrinfo_function>(
            reinterpret_cast<void (*)()>(GetProcAddress(winsock, "getaddrinfo")));
        release = reinterpret_cast<freeaddrinfo_function>(
            reinterpret_cast<void (*)()>(GetProcAddress(winsock, "freeaddrinfo")));
    }
    int result = -1, resolved = 0;
    if (resolve == nullptr || release == nullptr) {
        result = ipv4_connect(host, service, timeout_ms);
    } else {
        struct addrinfo hints;
        ZeroMemory(&hints, sizeof hints);
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        struct addrinfo *addresses = nullptr;
        resolved = resolve(host, service, &hints, &addresses);
        if (resolved != 0)
            port_reason_set("%s does not resolve (Winsock error %d)", host, resolved);
        if (resolved == 0) {
            // An address that drops the attempt must not use up the next one's time.
            for (const struct addrinfo *address = addresses; address != nullptr && result != 0;
                 address = address->ai_next)
                result = address_connect(address->ai_family, address->ai_addr,
                                         static_cast<int>(address->ai_addrlen), timeout_ms);
            release(addresses);
        }
    }
    if (result != 0 && resolved == 0)
        port_reason_set("no connection to %s port %s (Winsock error %d)", host, service,
                        WSAGetLastError());
    if (result != 0)
        socket_close();
    return result;
}

int socket_send(const void *data, size_t size, uint32_t timeout_ms)
{
    const char *next = static_cast<const char *>(data);
    uint32_t started = clock_milliseconds();
    while (size > 0) {
        int sent = send(socket_handle, next, static_cast<int>(size), 0);
        if (sent > 0) {
            next += sent;
            size -= static_cast<size_t>(sent);
            continue;
        }
        if (sent == 0 || WSAGetLastError() != WSAEWOULDBLOCK)
            return -1;
        int ready = socket_wait(true, milliseconds_left(started, timeout_ms));
        if (ready <= 0)
            return ready == 0 ? SOCKET_TIMEOUT : -1;
    }
    return 0;
}

long socket_receive(void *buffer, size_t capacity, uint32_t timeout_ms)
{
    uint32_t started = clock_milliseconds();
    for (;;) {
        int ready = socket_wait(false, milliseconds_left(started, timeout_ms));
        if (ready <= 0)
            return ready == 0 ? SOCKET_TIMEOUT : -1;
        int got = recv(socket_handle, static_cast<char *>(buffer), static_cast<int>(capacity), 0);
        if (got >= 0)
            return got;
        if (WSAGetLastError() != WSAEWOULDBLOCK)
            return -1;
    }
}

int socket_shutdown()
{
    return shutdown(socket_handle, SD_SEND) == 0 ? 0 : -1;
}

void socket_close()
{
    if (socket_handle != INVALID_SOCKET) {
        // A failed close leaves nothing to retry; the socket is gone either way.
        closesocket(socket_handle);
        socket_handle = INVALID_SOCKET;
    }
    if (winsock_started && group_count == 0 && link_count == 0) {
        WSACleanup();
        winsock_started = false;
    }
}

static uint32_t group_address;
static uint16_t group_port;
static int next_turn;

// Every IPv4 interface that is up and can multicast, each address once, as
// Windows 2000's Winsock lists them.
static int interfaces_find(DatagramLink *links, int capacity)
{
    static INTERFACE_INFO list[DATAGRAM_INTERFACES_MAX];
    DWORD size = 0;
    SOCKET lister = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (lister == INVALID_SOCKET)
        return -1;
    int result = WSAIoctl(lister, SIO_GET_INTERFACE_LIST, nullptr, 0, list, sizeof list, &size,
                          nullptr, nullptr);
    closesocket(lister);
    if (result != 0)
        return -1;
    int count = 0;
    for (DWORD i = 0; i < size / sizeof list[0]; i++) {
        const struct sockaddr_in *address = &list[i].iiAddress.AddressIn;
        if (address->sin_family != AF_INET || (list[i].iiFlags & IFF_UP) == 0 ||
            (list[i].iiFlags & IFF_MULTICAST) == 0)
            continue;
        bool known = false;
        for (int j = 0; j < count; j++)
            known = known || links[j].address == address->sin_addr.s_addr;
        if (!known && count < capacity) {
            links[count].address = address->sin_addr.s_addr;
            links[count].netmask = list[i].iiNetmask.AddressIn.sin_addr.s_addr;
            links[count].legacy_cause = LINK_PORT_HELD;
            links[count].mode = count < DATAGRAM_LINKS_MAX ? LINK_FAILED : LINK_BEYOND;
            count++;
        }
    }
    return count;
}

static void handle_close(SOCKET *handle)
{
    // A failed close leaves nothing to retry; the socket is gone either way.
    if (*handle != INVALID_SOCKET)
        closesocket(*handle);
    *handle = INVALID_SOCKET;
}

// A datagram socket bound to the address and port. shared: other programs
// may bind the same, as every mDNS responder and querier on a host does;
// one that holds the port with SO_EXCLUSIVEADDRUSE still keeps us out.
static SOCKET datagram_socket(uint32_t address, uint16_t port, bool shared, int *cause = nullptr)
{
    SOCKET handle = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    u_long non_blocking = 1;
    BOOL on = TRUE;
    struct sockaddr_in local;
    ZeroMemory(&local, sizeof local);
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    local.sin_addr.s_addr = address;
    bool sharing = handle != INVALID_SOCKET && ioctlsocket(handle, FIONBIO, &non_blocking) == 0 &&
                   (!shared || setsockopt(handle, SOL_SOCKET, SO_REUSEADDR,
                                          reinterpret_cast<const char *>(&on), sizeof on) == 0);
    if (!sharing || bind(handle, reinterpret_cast<const struct sockaddr *>(&local), sizeof local) != 0) {
        if (cause != nullptr)
            *cause = sharing ? LINK_PORT_HELD : LINK_NO_SHARING;
        handle_close(&handle);
    }
    // Room for a link's answers arriving at once: several hosts of many
    // boards answer in dozens of packets. The system may give less.
    int room = 1 << 20;
    if (handle != INVALID_SOCKET)
        (void)setsockopt(handle, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char *>(&room),
                         sizeof room);
    return handle;
}

// A socket that sends through the interface of that address: Windows sends
// a multicast through the interface IP_MULTICAST_IF names, whatever the
// socket is bound to.
static SOCKET sending_socket(uint32_t address, uint16_t port, bool shared, int *cause = nullptr)
{
    SOCKET handle = datagram_socket(address, port, shared, cause);
    // RFC 6762 asks for 255 as the packets' time to live.
    DWORD hops = 255;
    struct in_addr interface;
    interface.s_addr = address;
    if (handle != INVALID_SOCKET &&
        (setsockopt(handle, IPPROTO_IP, IP_MULTICAST_TTL, reinterpret_cast<const char *>(&hops),
                    sizeof hops) != 0 ||
         setsockopt(handle, IPPROTO_IP, IP_MULTICAST_IF, reinterpret_cast<const char *>(&interface),
                    sizeof interface) != 0))
        handle_close(&handle);
    return handle;
}

static bool group_open(int *cause)
{
    SOCKET handle = datagram_socket(htonl(INADDR_ANY), group_port, true, cause);
    if (handle == INVALID_SOCKET)
        return false;
    group_handles[group_count++] = handle;
    return true;
}

// IP_ADD_MEMBERSHIP has the value ws2tcpip.h gives it (12); winsock.h's
// older one (5) means something else to Winsock 2.
static bool group_member(uint32_t interface)
{
    struct ip_mreq membership;
    membership.imr_multiaddr.s_addr = group_address;
    membership.imr_interface.s_addr = interface;
    return setsockopt(group_handles[group_count - 1], IPPROTO_IP, IP_ADD_MEMBERSHIP,
                      reinterpret_cast<const char *>(&membership), sizeof membership) == 0;
}

// Joins the group on the interface with the newest group socket, or, once
// that one can join no more (the system bounds a socket's memberships: 20
// where Linux runs Wine), with a new one.
static bool group_join(uint32_t interface, int *cause)
{
    if (group_count == 0 && !group_open(cause))
        return false;
    if (group_member(interface) ||
        (group_count < DATAGRAM_LINKS_MAX && group_open(cause) && group_member(interface)))
        return true;
    *cause = LINK_JOIN_FAILED;
    return false;
}

int datagram_open(uint32_t group, uint16_t port, DatagramLink *links, int capacity)
{
    if (winsock_start() != 0)
        return -1;
    int count = interfaces_find(links, capacity);
    if (count < 0) {
        datagram_close();
        return -1;
    }
    group_address = group;
    group_port = port;
    for (link_count = 0; link_count < count && link_count < DATAGRAM_LINKS_MAX; link_count++) {
        DatagramLink *link = &links[link_count];
        SOCKET *shared = &shared_handles[link_count], *own = &own_handles[link_count];
        *own = sending_socket(link->address, 0, false);
        *shared = INVALID_SOCKET;
        if (*own != INVALID_SOCKET && group_join(link->address, &link->legacy_cause))
            *shared = sending_socket(link->address, port, true, &link->legacy_cause);
        link->mode = *own == INVALID_SOCKET    ? LINK_FAILED
                     : *shared == INVALID_SOCKET ? LINK_LEGACY
                                                 : LINK_SHARED;
    }
    return count;
}

int datagram_send(int link, bool shared, const void *data, size_t size)
{
    struct sockaddr_in to;
    ZeroMemory(&to, sizeof to);
    to.sin_family = AF_INET;
    to.sin_port = htons(group_port);
    to.sin_addr.s_addr = group_address;
    SOCKET handle = link < 0 || link >= link_count ? INVALID_SOCKET
                    : shared                      ? shared_handles[link]
                                                  : own_handles[link];
    return handle != INVALID_SOCKET &&
                   sendto(handle, static_cast<const char *>(data), static_cast<int>(size), 0,
                          reinterpret_cast<const struct sockaddr *>(&to),
                          sizeof to) == static_cast<int>(size)
               ? 0
               : -1;
}

long datagram_receive(void *buffer, size_t capacity, DatagramFrom *from, uint32_t timeout_ms)
{
    SOCKET handles[3 * DATAGRAM_LINKS_MAX];
    int count = 0;
    for (int i = 0; i < link_count; i++) {
        handles[count++] = shared_handles[i];
        handles[count++] = own_handles[i];
    }
    for (int i = 0; i < group_count; i++)
        handles[count++] = group_handles[i];
    uint32_t started = clock_milliseconds();
    for (bool first = true;; first = false) {
        uint32_t left = milliseconds_left(started, timeout_ms);
        if (left == 0 && !first)
            return SOCKET_TIMEOUT;
        fd_set ready;
        FD_ZERO(&ready);
        for (int i = 0; i < count; i++)
            if (handles[i] != INVALID_SOCKET)
                FD_SET(handles[i], &ready);
        struct timeval wait;
        wait.tv_sec = static_cast<long>(left / 1000);
        wait.tv_usec = static_cast<long>(left % 1000) * 1000;
        int result = select(0, &ready, nullptr, nullptr, &wait);
        if (result == SOCKET_ERROR)
            return -1;
        if (result == 0)
            return SOCKET_TIMEOUT;
        for (int turn = 0; turn < count; turn++) {
            int i = (next_turn + turn) % count;
            if (handles[i] == INVALID_SOCKET || !FD_ISSET(handles[i], &ready))
                continue;
            struct sockaddr_in source;
            int source_size = sizeof source;
            ZeroMemory(&source, sizeof source);
            int got = recvfrom(handles[i], static_cast<char *>(buffer), static_cast<int>(capacity),
                               0, reinterpret_cast<struct sockaddr *>(&source), &source_size);
            if (got == SOCKET_ERROR && WSAGetLastError() == WSAEMSGSIZE)
                got = static_cast<int>(capacity);  // cut to the buffer, as POSIX does
            // A port that was unreachable for one of the sends is reported on a
            // later receive; it says nothing about the answers to come.
            if (got < 0 && WSAGetLastError() != WSAEWOULDBLOCK && WSAGetLastError() != WSAECONNRESET)
                return -1;
            if (got < 0 || source.sin_family != AF_INET)
                continue;
            next_turn = i + 1;
            from->address = source.sin_addr.s_addr;
            from->port = ntohs(source.sin_port);
            from->link = i >= 2 * link_count ? -1 : i / 2;
            from->shared = i >= 2 * link_count || i % 2 == 0;
            from->group = i >= 2 * link_count;
            return got;
        }
    }
}

void datagram_close()
{
    for (int i = 0; i < group_count; i++)
        handle_close(&group_handles[i]);
    group_count = 0;
    for (int i = 0; i < link_count; i++) {
        handle_close(&shared_handles[i]);
        handle_close(&own_handles[i]);
    }
    link_count = 0;
    if (winsock_started && socket_handle == INVALID_SOCKET) {
        WSACleanup();
        winsock_started = false;
    }
}
