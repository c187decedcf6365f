// The remote port's connection and the multicast query's socket on Windows:
// Winsock 2, non-blocking, every wait through select(). Only what Windows 2000's ws2_32.dll has is
// imported; getaddrinfo (Windows XP and later) is looked up at run time.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include "socket.h"

#include <cstdlib>

static SOCKET socket_handle = INVALID_SOCKET;
static SOCKET datagram_handle = INVALID_SOCKET;
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
    int result = -1;
    if (resolve == nullptr || release == nullptr) {
        result = ipv4_connect(host, service, timeout_ms);
    } else {
        struct addrinfo hints;
        ZeroMemory(&hints, sizeof hints);
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        struct addrinfo *addresses = nullptr;
        if (resolve(host, service, &hints, &addresses) == 0) {
            // An address that drops the attempt must not use up the next one's time.
            for (const struct addrinfo *address = addresses; address != nullptr && result != 0;
                 address = address->ai_next)
                result = address_connect(address->ai_family, address->ai_addr,
                                         static_cast<int>(address->ai_addrlen), timeout_ms);
            release(addresses);
        }
    }
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
    if (winsock_started && datagram_handle == INVALID_SOCKET) {
        WSACleanup();
        winsock_started = false;
    }
}

enum { INTERFACES_MAX = 64 };

static struct in_addr interfaces[INTERFACES_MAX];
static int interface_count;

// Every IPv4 interface that is up and can multicast, each address once, as
// Windows 2000's Winsock lists them.
static int interfaces_find()
{
    static INTERFACE_INFO list[INTERFACES_MAX];
    DWORD size = 0;
    if (WSAIoctl(datagram_handle, SIO_GET_INTERFACE_LIST, nullptr, 0, list, sizeof list, &size,
                 nullptr, nullptr) != 0)
        return -1;
    interface_count = 0;
    for (DWORD i = 0; i < size / sizeof list[0]; i++) {
        const struct sockaddr_in *address = &list[i].iiAddress.AddressIn;
        if (address->sin_family != AF_INET || (list[i].iiFlags & IFF_UP) == 0 ||
            (list[i].iiFlags & IFF_MULTICAST) == 0)
            continue;
        bool known = false;
        for (int j = 0; j < interface_count; j++)
            known = known || interfaces[j].s_addr == address->sin_addr.s_addr;
        if (!known)
            interfaces[interface_count++] = address->sin_addr;
    }
    return interface_count;
}

int datagram_open()
{
    if (winsock_start() != 0)
        return -1;
    datagram_handle = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    u_long non_blocking = 1;
    // RFC 6762 asks for 255 as the packets' time to live.
    DWORD hops = 255;
    struct sockaddr_in any;
    ZeroMemory(&any, sizeof any);
    any.sin_family = AF_INET;
    // Windows wants a socket bound before it receives anything.
    if (datagram_handle == INVALID_SOCKET ||
        ioctlsocket(datagram_handle, FIONBIO, &non_blocking) != 0 ||
        setsockopt(datagram_handle, IPPROTO_IP, IP_MULTICAST_TTL,
                   reinterpret_cast<const char *>(&hops), sizeof hops) != 0 ||
        bind(datagram_handle, reinterpret_cast<const struct sockaddr *>(&any), sizeof any) != 0 ||
        interfaces_find() < 0) {
        datagram_close();
        return -1;
    }
    return interface_count;
}

int datagram_send(const void *data, size_t size, uint32_t group, uint16_t port)
{
    struct sockaddr_in to;
    ZeroMemory(&to, sizeof to);
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = group;
    int sent = 0;
    for (int i = 0; i < interface_count; i++)
        if (setsockopt(datagram_handle, IPPROTO_IP, IP_MULTICAST_IF,
                       reinterpret_cast<const char *>(&interfaces[i]), sizeof interfaces[i]) == 0 &&
            sendto(datagram_handle, static_cast<const char *>(data), static_cast<int>(size), 0,
                   reinterpret_cast<const struct sockaddr *>(&to),
                   sizeof to) == static_cast<int>(size))
            sent++;
    return sent > 0 ? 0 : -1;
}

long datagram_receive(void *buffer, size_t capacity, uint16_t port, uint32_t *source,
                      uint32_t timeout_ms)
{
    uint32_t started = clock_milliseconds();
    for (;;) {
        int ready = handle_wait(datagram_handle, false, milliseconds_left(started, timeout_ms));
        if (ready <= 0)
            return ready == 0 ? SOCKET_TIMEOUT : -1;
        struct sockaddr_in from;
        int from_size = sizeof from;
        ZeroMemory(&from, sizeof from);
        int got = recvfrom(datagram_handle, static_cast<char *>(buffer), static_cast<int>(capacity),
                           0, reinterpret_cast<struct sockaddr *>(&from), &from_size);
        if (got == SOCKET_ERROR && WSAGetLastError() == WSAEMSGSIZE)
            got = static_cast<int>(capacity);  // cut to the buffer, as POSIX does
        if (got >= 0 && from.sin_family == AF_INET && from.sin_port == htons(port)) {
            *source = from.sin_addr.s_addr;
            return got;
        }
        // A port that was unreachable for one of the sends is reported on a
        // later receive; it says nothing about the answers to come.
        if (got < 0 && WSAGetLastError() != WSAEWOULDBLOCK && WSAGetLastError() != WSAECONNRESET)
            return -1;
    }
}

void datagram_close()
{
    if (datagram_handle != INVALID_SOCKET)
        closesocket(datagram_handle);
    datagram_handle = INVALID_SOCKET;
    if (winsock_started && socket_handle == INVALID_SOCKET) {
        WSACleanup();
        winsock_started = false;
    }
}
