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
 *   KOVEX_KIT_REFUSE=LINE@N  only the Nth request that would move it fails
 *   KOVEX_KIT_FAIL=CALL    open (of a /dev path), flock, tcgetattr or
 *                          tcsetattr fails with EIO; "tcsetattr-partial"
 *                          applies the settings at 38400 bit/s and succeeds,
 *                          as a driver may when it cannot do all it is asked
 *
 * At exit, every descriptor still open on a /dev path is logged as
 * "... PID open PATH", so a test can tell that the port was closed, and the
 * process's peak resident memory as "... PID peak KIB" (its VmHWM).
 *
 * Wine's 32-bit ntdll calls __ioctl_time64 rather than ioctl: both are
 * wrapped. Build it for both word sizes and preload 'DIR/$LIB/libkovexlines.so'. */
#define _GNU_SOURCE
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

typedef int ioctl_function(int, unsigned long, ...);

static int line_word = TIOCM_DTR | TIOCM_RTS;
static int move_attempts[2];  /* per line, in the order of LINES */

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

/* Whether the attempt-th request to move the named line is to fail. */
static int refused(const char *line, int attempt)
{
    const char *refuse = getenv("KOVEX_KIT_REFUSE");
    size_t length = strlen(line);
    if (refuse == NULL || strncmp(refuse, line, length) != 0)
        return 0;
    if (refuse[length] == '\0')
        return 1;
    return refuse[length] == '@' && atoi(refuse + length + 1) == attempt;
}

static int failing(const char *call)
{
    const char *fail = getenv("KOVEX_KIT_FAIL");
    if (fail == NULL || strcmp(fail, call) != 0)
        return 0;
    errno = EIO;
    return 1;
}

#define REAL(name) ((__typeof__(&name))dlsym(RTLD_NEXT, #name))

int open(const char *path, int flags, ...)
{
    va_list arguments;
    va_start(arguments, flags);
    mode_t mode = va_arg(arguments, mode_t);
    va_end(arguments);
    if (strncmp(path, "/dev/", 5) == 0 && failing("open"))
        return -1;
    return REAL(open)(path, flags, mode);
}

int flock(int fd, int operation)
{
    return failing("flock") ? -1 : REAL(flock)(fd, operation);
}

int tcgetattr(int fd, struct termios *settings)
{
    return failing("tcgetattr") ? -1 : REAL(tcgetattr)(fd, settings);
}

int tcsetattr(int fd, int when, const struct termios *settings)
{
    if (failing("tcsetattr"))
        return -1;
    if (failing("tcsetattr-partial")) {
        struct termios partial = *settings;
        cfsetispeed(&partial, B38400);
        cfsetospeed(&partial, B38400);
        return REAL(tcsetattr)(fd, when, &partial);
    }
    return REAL(tcsetattr)(fd, when, settings);
}

static void report_peak_memory(void)
{
    FILE *status = fopen("/proc/self/status", "r");
    if (status == NULL)
        return;
    char line[128];
    while (fgets(line, sizeof line, status) != NULL)
        if (strncmp(line, "VmHWM:", 6) == 0) {
            char kib[32];
            snprintf(kib, sizeof kib, "%ld", strtol(line + 6, NULL, 10));
            log_line("peak", kib);
        }
    fclose(status);
}

__attribute__((destructor)) static void report_at_exit(void)
{
    report_peak_memory();
    DIR *folder = opendir("/proc/self/fd");
    if (folder == NULL)
        return;
    for (struct dirent *entry; (entry = readdir(folder)) != NULL;) {
        char link[300], target[256];
        snprintf(link, sizeof link, "/proc/self/fd/%s", entry->d_name);
        ssize_t length = readlink(link, target, sizeof target - 1);
        if (length > 5 && atoi(entry->d_name) > 2 && atoi(entry->d_name) != dirfd(folder)) {
            target[length] = '\0';
            if (strncmp(target, "/dev/", 5) == 0)
                log_line("open", target);
        }
    }
    closedir(folder);
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
    int touched = wanted ^ line_word;
    for (size_t i = 0; i < sizeof LINES / sizeof LINES[0]; i++)
        if ((touched & LINES[i].bit) && refused(LINES[i].name, ++move_attempts[i])) {
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
