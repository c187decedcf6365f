/* LD_PRELOAD library that gives a pseudo-terminal the DTR and RTS lines it
 * lacks. When the real modem-control ioctl refuses a request on a terminal,
 * the request is carried out on a line word kept here, which starts with
 * both lines raised as a freshly opened serial port has them.
 *
 *   KOVEX_KIT_LOG=FILE     every line change is appended to FILE as
 *                          "SECONDS.NANOSECONDS PID LINE 0|1" (CLOCK_MONOTONIC);
 *                          a refused request as "... PID LINE refused"
 *   KOVEX_KIT_REFUSE=LINE  the line is stuck: a request that would move DTR
 *                          or RTS fails with EIO and moves neither
 *
 * Wine's 32-bit ntdll calls __ioctl_time64 rather than ioctl: both are
 * wrapped. Build it for both word sizes and preload 'DIR/$LIB/libkovexlines.so'. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

typedef int ioctl_function(int, unsigned long, ...);

static int line_word = TIOCM_DTR | TIOCM_RTS;

static const struct {
    int bit;
    const char *name;
} LINES[] = {{TIOCM_DTR, "DTR"}, {TIOCM_RTS, "RTS"}};

static void log_line(const char *line, const char *what)
{
    const char *path = getenv("KOVEX_KIT_LOG");
    if (path == NULL)
        return;
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    char text[96];
    int length = snprintf(text, sizeof text, "%lld.%09ld %ld %s %s\n", (long long)now.tv_sec,
                          now.tv_nsec, (long)getpid(), line, what);
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) {
        if (write(fd, text, (size_t)length) != length)
            perror("modem_lines: log");
        close(fd);
    }
}

/* Carries out one modem request on the line word; the real call was refused. */
static int emulate(unsigned long request, int *argument)
{
    int wanted;
    switch (request) {
    case TIOCMGET: *argument = line_word; return 0;
    case TIOCMSET: wanted = *argument; break;
    case TIOCMBIS: wanted = line_word | *argument; break;
    case TIOCMBIC: wanted = line_word & ~*argument; break;
    default: errno = ENOTTY; return -1;
    }
    const char *refuse = getenv("KOVEX_KIT_REFUSE");
    int touched = wanted ^ line_word;
    for (size_t i = 0; i < sizeof LINES / sizeof LINES[0]; i++)
        if ((touched & LINES[i].bit) && refuse != NULL && strcmp(refuse, LINES[i].name) == 0) {
            log_line(LINES[i].name, "refused");
            errno = EIO;
            return -1;
        }
    for (size_t i = 0; i < sizeof LINES / sizeof LINES[0]; i++)
        if ((wanted ^ line_word) & LINES[i].bit)
            log_line(LINES[i].name, (wanted & LINES[i].bit) ? "1" : "0");
    line_word = wanted;
    return 0;
}

static int modem_request(unsigned long request)
{
    return request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS ||
           request == TIOCMBIC;
}

static int wrapped(const char *name, int fd, unsigned long request, void *argument)
{
    ioctl_function *real = (ioctl_function *)dlsym(RTLD_NEXT, name);
    if (real == NULL) {
        errno = ENOSYS;
        return -1;
    }
    int saved = errno;
    int result = real(fd, request, argument);
    if (result == 0 || !modem_request(request) || !isatty(fd))
        return result;
    errno = saved;
    return emulate(request, (int *)argument);
}

int ioctl(int fd, unsigned long request, ...)
{
    va_list arguments;
    va_start(arguments, request);
    void *argument = va_arg(arguments, void *);
    va_end(arguments);
    return wrapped("ioctl", fd, request, argument);
}

int __ioctl_time64(int fd, unsigned long request, ...)
{
    va_list arguments;
    va_start(arguments, request);
    void *argument = va_arg(arguments, void *);
    va_end(arguments);
    return wrapped("__ioctl_time64", fd, request, argument);
}
