// The remote port's connection on Windows: Winsock 2, non-blocking, every
// wait through select(). Only what Windows 2000's ws2_32.dll has is
// imported; getaddrinfo (Windows XP and later) is looked up at run time.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include "socket.h"

#include <cstdlib>

static SOCKET socket_handle = INVALID_SOCKET;
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
static int socket_wait(bool write, uint32_t timeout_ms)
{
    fd_set ready;
    fd_set failed;
    FD_ZERO(&ready);
    FD_ZERO(&failed);
    FD_SET(socket_handle, &ready);
    FD_SET(socket_handle, &failed);
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
    return FD_ISSET(socket_handle, &ready) ? 1 : -1;
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

int socket_connect(const char *host, const char *service, uint32_t timeout_ms)
{
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0)
        return -1;
    winsock_started = true;
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
    if (winsock_started) {
        WSACleanup();
        winsock_started = false;
    }
}
