/* LD_PRELOAD library that gives a pseudo-terminal the DTR and RTS lines it
 * lacks, and the habits of the real Linux tty layer at open and close. When
 * the real modem-control ioctl refuses a request on a terminal, the request
 * is carried out on a line word, which starts with both lines raised as a
 * freshly opened serial port has them.
 *
 *   KOVEX_KIT_LOG=FILE     every event is appended to FILE as
 *                          "SECONDS.NANOSECONDS PID WHAT ARG" (CLOCK_MONOTONIC):
 *                          "DTR 0|1", "RTS 0|1", "DTR refused", "opened PATH",
 *                          "closed PATH", "hupcl 0|1", "exclusive 0|1", and
 *                          "step RTS-on-DTR-off" when one request drops DTR
 *                          and leaves RTS on, as a two-step clear does.
 *                          The line word, the number of descriptors open on
 *                          the tty, its HUPCL and its exclusive mode are read
 *                          back from this log, so every process
 *                          sharing the log shares one port; a new log is a
 *                          new port. Without it each process has its own.
 *   KOVEX_KIT_REFUSE=LINE  the line is stuck: a request that would move DTR
 *                          or RTS fails with EIO and moves neither
 *   KOVEX_KIT_REFUSE=LINE@N  only the Nth request that would move it fails
 *   KOVEX_KIT_FAIL=CALL    open (of a /dev path), flock, tcgetattr or
 *                          tcsetattr fails with EIO; "tcsetattr-partial"
 *                          applies the settings at 38400 bit/s and succeeds,
 *                          as a driver may when it cannot do all it is asked;
 *                          "quickack" takes TCP_QUICKACK and does nothing, as
 *                          a stack that delays its acknowledgements regardless
 *                          (Windows') would;
 *                          "bind:A.B.C.D" makes every bind to that IPv4
 *                          address fail, as on an interface whose socket fails
 *   KOVEX_KIT_OUTPUT=1     every write of the program's standard output or
 *                          error is logged when it leaves the process, as
 *                          "... PID out|err TEXT" (blank, line end and
 *                          backslash written "\s", "\n" and "\\"), so
 *                          that what it says and what the lines do share one
 *                          clock
 *   KOVEX_KIT_UNGUARDED=1  no guardian process (below): the benchmark sets it,
 *                          so that the fork is not counted as start-up time
 *   KOVEX_KIT_USBSER=1     the port is behind Windows' own USB CDC driver,
 *                          which sends the device both lines only on a request
 *                          that writes DTR: the lines the device sees are
 *                          logged as "device-DTR 0|1" and "device-RTS 0|1".
 *                          Wine writes a line as TIOCMSET of the whole word,
 *                          so a TIOCMSET that leaves RTS as it was writes DTR.
 *
 * As the Linux tty layer does (measured on the 8250 and ftdi_sio drivers):
 * every open of a tty whose speed is not B0 raises DTR and RTS, even while
 * another descriptor holds it; the last close drops both when HUPCL is set
 * and leaves them otherwise; and a process that dies holding the tty is
 * closed all the same, which a guardian process forked at the open carries
 * out when the process is gone. TIOCEXCL is kept here, not on the pty: it
 * refuses later opens (EBUSY) to all but root in the machine's first user
 * namespace, and a real port forgets it at the last close, where a pty,
 * whose master lives on, would keep it after its holder was killed.
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
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

typedef int ioctl_function(int, unsigned long, ...);

#define REAL(name) ((__typeof__(&name))dlsym(RTLD_NEXT, #name))

static const struct {
    int bit;
    const char *name;
} LINES[] = {{TIOCM_DTR, "DTR"}, {TIOCM_RTS, "RTS"}};
enum { LINE_COUNT = sizeof LINES / sizeof LINES[0] };

/* The port as the log tells it. */
struct port {
    int word;     /* TIOCM_DTR | TIOCM_RTS as they stand */
    int holders;  /* descriptors open on the tty */
    int held;     /* of those, the ones of the process asked about */
    int hupcl;
    int exclusive;  /* TIOCEXCL */
    int seen;       /* the lines as the device behind a USB CDC driver has them */
};

static struct port own_port = {TIOCM_DTR | TIOCM_RTS, 0, 0, 1, 0, TIOCM_DTR | TIOCM_RTS};  /* without a log */
static int move_attempts[LINE_COUNT];
static int tracked_fd = -1;      /* the tty this process opened through us */
static char tracked_path[256];
static pid_t acting_pid;         /* whose events are logged; 0: this process */
static int log_fd = -1;          /* open and locked between port_load and port_store */

static void log_line(const char *what, const char *argument)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    char text[400];
    int length = snprintf(text, sizeof text, "%lld.%09ld %ld %s %s\n", (long long)now.tv_sec,
                          now.tv_nsec, (long)(acting_pid ? acting_pid : getpid()), what, argument);
    if (length >= (int)sizeof text)
        length = sizeof text - 1;
    int fd = log_fd;
    const char *path = getenv("KOVEX_KIT_LOG");
    if (fd < 0 && path != NULL)
        fd = REAL(open)(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    if (write(fd, text, (size_t)length) != length)
        perror("modem_lines: log");
    if (fd != log_fd)
        REAL(close)(fd);
}

/* Replays the log into port, counting the descriptors open on the tty and
 * those of pid, and keeps the log locked until port_store. */
static void port_load(struct port *port, pid_t pid)
{
    const char *path = getenv("KOVEX_KIT_LOG");
    if (path == NULL) {
        *port = own_port;
        return;
    }
    *port = (struct port){TIOCM_DTR | TIOCM_RTS, 0, 0, 1, 0, TIOCM_DTR | TIOCM_RTS};
    log_fd = REAL(open)(path, O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (log_fd < 0 || REAL(flock)(log_fd, LOCK_EX) != 0)
        return;
    FILE *log = fdopen(dup(log_fd), "r");
    if (log == NULL)
        return;
    char what[16], argument[300];
    long who;
    while (fscanf(log, "%*s %ld %15s %299s", &who, what, argument) == 3) {
        int value = strcmp(argument, "1") == 0;
        for (int i = 0; i < LINE_COUNT; i++) {
            if (strcmp(what, LINES[i].name) == 0 && strcmp(argument, "refused") != 0)
                port->word = value ? port->word | LINES[i].bit : port->word & ~LINES[i].bit;
            if (strncmp(what, "device-", 7) == 0 && strcmp(what + 7, LINES[i].name) == 0)
                port->seen = value ? port->seen | LINES[i].bit : port->seen & ~LINES[i].bit;
        }
        int opened = strcmp(what, "opened") == 0 ? 1 : -(strcmp(what, "closed") == 0);
        port->holders += opened;
        if (who == (long)pid)
            port->held += opened;
        if (strcmp(what, "hupcl") == 0)
            port->hupcl = value;
        if (strcmp(what, "exclusive") == 0)
            port->exclusive = value;
    }
    fclose(log);
}

/* Logs the line changes from the loaded port to port and lets the log go. */
static void port_store(const struct port *old, const struct port *port)
{
    for (int i = 0; i < LINE_COUNT; i++) {
        char device[16];
        snprintf(device, sizeof device, "device-%s", LINES[i].name);
        if ((old->word ^ port->word) & LINES[i].bit)
            log_line(LINES[i].name, (port->word & LINES[i].bit) ? "1" : "0");
        if ((old->seen ^ port->seen) & LINES[i].bit)
            log_line(device, (port->seen & LINES[i].bit) ? "1" : "0");
    }
    own_port = *port;
    if (log_fd >= 0)
        REAL(close)(log_fd);
    log_fd = -1;
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

/* pid closes the tty if it still holds it; at the last close, with HUPCL,
 * the driver drops both lines, and exclusive mode is forgotten. */
static void tty_closed(pid_t pid, const char *path)
{
    struct port old, port;
    port_load(&old, pid);
    port = old;
    if (old.held > 0) {
        log_line("closed", path);
        port.holders--;
        port.held--;
        /* A stuck line stays where it is, silently: a hangup reports nothing. */
        for (int i = 0; i < LINE_COUNT; i++)
            if (port.holders == 0 && port.hupcl && (port.word & LINES[i].bit) &&
                !refused(LINES[i].name, ++move_attempts[i]))
                port.word &= ~LINES[i].bit;
        if (port.holders == 0 && port.exclusive) {
            log_line("exclusive", "0");
            port.exclusive = 0;
        }
    }
    port_store(&old, &port);
}

/* Waits in a child of its own for the opener to go, and closes the tty for
 * it if it died holding it: the kernel's close at a process's death. The
 * child is born holding the tty, and the opener's flock with it: the opener
 * goes on only once the child has let go of every descriptor, or a run that
 * follows at once would find the port held by the guardian of this one. */
static void guard(const char *path)
{
    int pipe_ends[2], ready[2];
    if (getenv("KOVEX_KIT_LOG") == NULL || getenv("KOVEX_KIT_UNGUARDED") != NULL ||
        pipe2(pipe_ends, O_CLOEXEC) != 0)
        return;
    if (pipe2(ready, O_CLOEXEC) != 0) {
        REAL(close)(pipe_ends[0]);
        REAL(close)(pipe_ends[1]);
        return;
    }
    pid_t opener = getpid();
    if (fork() != 0) {  /* the opener keeps the write end until it dies */
        REAL(close)(pipe_ends[0]);
        REAL(close)(ready[1]);
        char byte;
        while (read(ready[0], &byte, 1) < 0 && errno == EINTR)
            ;
        REAL(close)(ready[0]);
        return;
    }
    for (int fd = 0; fd < 1024; fd++)  /* hold no pipe or tty of the opener's */
        if (fd != pipe_ends[0] && fd != ready[1])
            REAL(close)(fd);
    REAL(close)(ready[1]);
    char byte;
    while (read(pipe_ends[0], &byte, 1) < 0 && errno == EINTR)
        ;
    acting_pid = opener;
    tty_closed(opener, path);
    _exit(0);
}

/* Root in the machine's first user namespace, whom TIOCEXCL lets in. */
static int privileged(void)
{
    unsigned long inside = 1, outside = 1, count = 0;
    FILE *map = fopen("/proc/self/uid_map", "re");
    if (map != NULL) {
        if (fscanf(map, "%lu %lu %lu", &inside, &outside, &count) != 3)
            count = 0;
        fclose(map);
    }
    return geteuid() == 0 && inside == 0 && outside == 0 && count == 4294967295UL;
}

/* The real open, under any of its names: a build with 64-bit file
 * offsets on a 32-bit system calls open64. */
static int open_as(const char *name, const char *path, int flags, mode_t mode)
{
    if (strncmp(path, "/dev/", 5) == 0 && failing("open"))
        return -1;
    int fd = ((int (*)(const char *, int, ...))dlsym(RTLD_NEXT, name))(path, flags, mode);
    int saved = errno;
    struct termios settings;
    if (fd < 0 || tracked_fd >= 0 || REAL(tcgetattr)(fd, &settings) != 0) {
        errno = saved;
        return fd;
    }
    /* An exclusive tty refuses the open before anything moves; otherwise
     * every open at a non-zero speed raises both lines. */
    struct port old, port;
    port_load(&old, 0);
    port = old;
    if (old.exclusive && old.holders > 0 && !privileged()) {
        port_store(&old, &port);
        REAL(close)(fd);
        errno = EBUSY;
        return -1;
    }
    if (cfgetospeed(&settings) != B0)
        port.word = TIOCM_DTR | TIOCM_RTS;
    port.holders++;
    port.held++;
    port.hupcl = (settings.c_cflag & HUPCL) != 0;
    log_line("opened", path);
    log_line("hupcl", (settings.c_cflag & HUPCL) ? "1" : "0");
    port_store(&old, &port);
    tracked_fd = fd;
    snprintf(tracked_path, sizeof tracked_path, "%s", path);
    guard(path);
    errno = saved;
    return fd;
}

int open(const char *path, int flags, ...)
{
    va_list arguments;
    va_start(arguments, flags);
    mode_t mode = va_arg(arguments, mode_t);
    va_end(arguments);
    return open_as("open", path, flags, mode);
}

int open64(const char *path, int flags, ...)
{
    va_list arguments;
    va_start(arguments, flags);
    mode_t mode = va_arg(arguments, mode_t);
    va_end(arguments);
    return open_as("open64", path, flags, mode);
}

/* What a program built with _FORTIFY_SOURCE calls for an open without a
 * mode: ser2net's serial device comes through here. */
int __open_2(const char *path, int flags)
{
    return open_as("__open_2", path, flags, 0);
}

int close(int fd)
{
    if (fd >= 0 && fd == tracked_fd) {
        tracked_fd = -1;
        int result = REAL(close)(fd);
        tty_closed(getpid(), tracked_path);
        return result;
    }
    return REAL(close)(fd);
}

int bind(int fd, const struct sockaddr *address, socklen_t size)
{
    const char *fail = getenv("KOVEX_KIT_FAIL");
    char text[INET_ADDRSTRLEN];
    const struct sockaddr_in *ipv4 = (const struct sockaddr_in *)address;
    if (fail != NULL && strncmp(fail, "bind:", 5) == 0 && address->sa_family == AF_INET &&
        inet_ntop(AF_INET, &ipv4->sin_addr, text, sizeof text) != NULL && strcmp(fail + 5, text) == 0) {
        errno = EADDRNOTAVAIL;
        return -1;
    }
    return REAL(bind)(fd, address, size);
}

int setsockopt(int fd, int level, int name, const void *value, socklen_t size)
{
    const char *fail = getenv("KOVEX_KIT_FAIL");
    if (fail != NULL && strcmp(fail, "quickack") == 0 && level == IPPROTO_TCP &&
        name == TCP_QUICKACK)
        return 0;
    return REAL(setsockopt)(fd, level, name, value, size);
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
    struct termios applied = *settings;
    if (failing("tcsetattr-partial")) {
        cfsetispeed(&applied, B38400);
        cfsetospeed(&applied, B38400);
    }
    int result = REAL(tcsetattr)(fd, when, &applied);
    if (result == 0 && fd == tracked_fd) {
        own_port.hupcl = (applied.c_cflag & HUPCL) != 0;
        log_line("hupcl", own_port.hupcl ? "1" : "0");
    }
    return result;
}

/* Standard output and error become streams whose every write is stamped;
 * the program's stdio calls reach them through the stdout and stderr
 * variables, and stdio's own buffering rules stay as they were. */
static ssize_t stamped_write(void *cookie, const char *data, size_t size)
{
    const char *stream = cookie;
    char text[300];
    size_t length = 0;
    for (size_t i = 0; i < size && length < sizeof text - 3; i++) {
        const char *escape = strchr(" \n\\", data[i]);
        if (escape != NULL && data[i] != '\0') {
            text[length++] = '\\';
            text[length++] = "sn\\"[escape - " \n\\"];
        } else {
            text[length++] = data[i];
        }
    }
    text[length] = '\0';
    log_line(stream, text);
    return write(strcmp(stream, "out") == 0 ? 1 : 2, data, size);
}

__attribute__((constructor)) static void stamp_output(void)
{
    if (getenv("KOVEX_KIT_OUTPUT") == NULL)
        return;
    static char *streams[] = {"out", "err"};
    cookie_io_functions_t functions = {.write = stamped_write};
    FILE *out = fopencookie(streams[0], "w", functions);
    FILE *err = fopencookie(streams[1], "w", functions);
    if (out == NULL || err == NULL)
        return;
    setvbuf(err, NULL, _IONBF, 0);
    stdout = out;
    stderr = err;
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
    struct port old, port;
    port_load(&old, 0);
    port = old;
    int wanted = old.word, result = 0;
    switch (request) {
    case TIOCMGET: *argument = old.word; break;
    case TIOCMSET: wanted = *argument; break;
    case TIOCMBIS: wanted = old.word | *argument; break;
    case TIOCMBIC: wanted = old.word & ~*argument; break;
    }
    int touched = (wanted ^ old.word) & (TIOCM_DTR | TIOCM_RTS);
    for (int i = 0; i < LINE_COUNT && result == 0; i++)
        if ((touched & LINES[i].bit) && refused(LINES[i].name, ++move_attempts[i])) {
            log_line(LINES[i].name, "refused");
            result = -1;
        }
    if (result == 0)
        port.word = wanted & (TIOCM_DTR | TIOCM_RTS);
    if ((old.word & TIOCM_DTR) && (port.word & (TIOCM_DTR | TIOCM_RTS)) == TIOCM_RTS)
        log_line("step", "RTS-on-DTR-off");
    int writes_dtr = request == TIOCMSET ? !(touched & TIOCM_RTS)
                                         : request != TIOCMGET && (*argument & TIOCM_DTR);
    if (result == 0 && writes_dtr && getenv("KOVEX_KIT_USBSER") != NULL)
        port.seen = port.word;
    port_store(&old, &port);
    if (result != 0)
        errno = EIO;
    return result;
}

static int modem_request(unsigned long request)
{
    return request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS ||
           request == TIOCMBIC;
}

/* TIOCEXCL and TIOCNXCL on the tracked tty change the exclusive mode kept
 * here. */
static int exclusive_mode(unsigned long request)
{
    struct port old, port;
    port_load(&old, 0);
    port = old;
    port.exclusive = request == TIOCEXCL;
    log_line("exclusive", port.exclusive ? "1" : "0");
    port_store(&old, &port);
    return 0;
}

static int wrapped(const char *name, int fd, unsigned long request, void *argument)
{
    if (fd == tracked_fd && (request == TIOCEXCL || request == TIOCNXCL))
        return exclusive_mode(request);
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
