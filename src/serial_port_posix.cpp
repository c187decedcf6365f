// Serial port layer for POSIX systems, through termios and the modem-control
// ioctls. It mirrors the Windows layer: same messages, same results.
#include "serial_port.h"

#include "port_holders.h"
#include "port_lock.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

static int port_handle = -1;
static bool port_hupcl;  // the port's own HUPCL, given back at the close

// A bare name such as "ttyUSB0" lives in /dev, the counterpart of Windows'
// device namespace; anything with a slash is a path and is used as it stands.
static const char *device_prefix(const char *name)
{
    for (const char *c = name; *c != '\0'; c++)
        if (*c == '/')
            return "";
    return "/dev/";
}

static int port_fail(int fd, const char *message)
{
    fputs(message, stderr);
    close(fd);
    port_unlock();
    return -1;
}

static int modem_lines(int fd, unsigned long request, int bits)
{
    return ioctl(fd, request, &bits);
}

static bool termios_configure(int fd, const struct termios *current)
{
    struct termios settings = *current;
    cfmakeraw(&settings);
    if (cfsetispeed(&settings, B9600) != 0 || cfsetospeed(&settings, B9600) != 0)
        return false;
    settings.c_cflag &= ~(tcflag_t)(CSIZE | PARENB | CSTOPB);
#ifdef CRTSCTS
    settings.c_cflag &= ~(tcflag_t)CRTSCTS;
#endif
    // HUPCL is on while we hold the port, so that if the run dies (any
    // signal, SIGKILL included) the driver drops the lines at the last close,
    // as Windows does; port_close gives the port its own setting back.
    port_hupcl = (current->c_cflag & HUPCL) != 0;
    settings.c_cflag |= CS8 | CREAD | CLOCAL | HUPCL;
    settings.c_iflag &= ~(tcflag_t)(IXON | IXOFF | IXANY);
    settings.c_cc[VSTART] = 0x11;
    settings.c_cc[VSTOP] = 0x13;
    if (tcsetattr(fd, TCSANOW, &settings) != 0)
        return false;

    // tcsetattr succeeds when any part of the request was carried out, so
    // read the settings back and insist on the ones that matter.
    struct termios applied;
    if (tcgetattr(fd, &applied) != 0)
        return false;
    tcflag_t control = CSIZE | PARENB | CSTOPB | CREAD | CLOCAL | HUPCL;
#ifdef CRTSCTS
    control |= CRTSCTS;
#endif
    tcflag_t input = IXON | IXOFF | IXANY;
    return cfgetispeed(&applied) == B9600 && cfgetospeed(&applied) == B9600 &&
           (applied.c_cflag & control) == (settings.c_cflag & control) &&
           (applied.c_iflag & input) == (settings.c_iflag & input);
}

int local_port_open(const char *name)
{
    char path[PATH_MAX];
    int fd = -1;
    // Exclusive like Windows' share mode 0: a port held by another program
    // counts as one that cannot be opened. Any process found holding it, and
    // then the lock file, decide before the open, which on Linux raises DTR
    // and RTS even when it is then refused. flock keeps other runs out
    // whoever they run as; TIOCEXCL also turns away other programs, but not
    // root, and a device that refuses it is still usable. O_NONBLOCK: the
    // open must not wait for carrier, nor on a FIFO given as the port.
    // Each step that turns the port away says why, for -d.
    bool named = port_path(path, sizeof path, device_prefix(name), name) == 0;
    if (!named)
        port_reason_set("the name is too long for a device path");
    if (named && port_holders_check(path) == 0 && port_lock(path) == 0) {
        fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            port_reason_set("%s: %s", path, strerror(errno));
    }
    if (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) != 0) {
        port_reason_set("%s is locked with flock by another process (another kovex, say)", path);
        close(fd);
        fd = -1;
    }
    if (fd < 0) {
        port_unlock();
        return port_open_failed(name);
    }

    struct termios current;
    if (tcgetattr(fd, &current) != 0)
        return port_fail(fd, " unable to read DCB !\n");
    (void)ioctl(fd, TIOCEXCL);
    if (!termios_configure(fd, &current)) {
        (void)ioctl(fd, TIOCNXCL);
        return port_fail(fd, "Unable to set DCB !\n");
    }

    // Opening a tty raises DTR and RTS; drop both in one request, which
    // the drivers carry out as one change at the device. DTR first would
    // leave RTS on with DTR off in between, the very state in which an
    // ESP32's auto-reset circuit holds the chip in reset: where the one
    // request is refused, each line is tried alone, RTS first, and DTR only
    // once RTS is off. A refusal here is no configuration failure: the line
    // operations that follow meet it and report it.
    if (modem_lines(fd, TIOCMBIC, TIOCM_DTR | TIOCM_RTS) != 0 &&
        modem_lines(fd, TIOCMBIC, TIOCM_RTS) == 0)
        (void)modem_lines(fd, TIOCMBIC, TIOCM_DTR);

    port_handle = fd;
    return 0;
}

int local_line_change(int operation)
{
    unsigned long request = operation == SETDTR || operation == SETRTS ? TIOCMBIS : TIOCMBIC;
    int bits = operation == SETDTR || operation == CLRDTR ? TIOCM_DTR : TIOCM_RTS;
    return modem_lines(port_handle, request, bits) == 0 ? 0 : -1;
}

// Gives the port its own HUPCL back, so that a user's -hupcl survives every
// run that ends normally. A line that is still raised (it refused to clear)
// keeps HUPCL on, for the driver to drop it at the close. Nothing is left to
// do if this fails: the pulse is over and the port merely keeps HUPCL.
static void hupcl_restore(int fd)
{
    int bits;
    struct termios settings;
    if (port_hupcl || (ioctl(fd, TIOCMGET, &bits) == 0 && (bits & (TIOCM_DTR | TIOCM_RTS)) != 0))
        return;
    if (tcgetattr(fd, &settings) == 0) {
        settings.c_cflag &= ~(tcflag_t)HUPCL;
        (void)tcsetattr(fd, TCSANOW, &settings);
    }
}

void local_port_close()
{
    if (port_handle < 0)
        return;
    // Give the tty back shareable (a pty outlives our close), then close. A
    // failed close leaves nothing to retry; the descriptor is gone either way.
    hupcl_restore(port_handle);
    (void)ioctl(port_handle, TIOCNXCL);
    close(port_handle);
    port_handle = -1;
    port_unlock();
}

// Holds for the time against the monotonic clock, resuming after signals
// for whatever time remains, so that the hold is never cut short; with a
// descriptor, watching it as well. Only a hang-up ends the wait early
// (poll reports it whatever is asked for, and nothing else is asked, so
// a chatty board cannot wake it). Returns 0, or -1 when the port hung up.
static int hold_watching(int fd, uint32_t milliseconds)
{
    // CLOCK_MONOTONIC always exists, so clock_gettime cannot fail here.
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    struct timespec deadline = now;
    deadline.tv_sec += milliseconds / 1000;
    deadline.tv_nsec += (long)(milliseconds % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec++;
        deadline.tv_nsec -= 1000000000L;
    }
    for (;;) {
        struct timespec left;
        left.tv_sec = deadline.tv_sec - now.tv_sec;
        left.tv_nsec = deadline.tv_nsec - now.tv_nsec;
        if (left.tv_nsec < 0) {
            left.tv_sec--;
            left.tv_nsec += 1000000000L;
        }
        if (left.tv_sec < 0 || (left.tv_sec == 0 && left.tv_nsec == 0))
            return 0;
        // poll's timer may be late by a thousandth of its time: it watches
        // the port in steps of at most 100 ms up to 2 ms before the end, and
        // nanosleep, late by some microseconds, sleeps out the rest.
        // EINTR simply goes round again.
        struct pollfd watch = {fd, 0, 0};
        if (fd < 0 || (left.tv_sec == 0 && left.tv_nsec <= 2000000L)) {
            nanosleep(&left, nullptr);
        } else {
            long wait = left.tv_sec > 0 ? 100L : (left.tv_nsec - 1000000L) / 1000000L;
            if (poll(&watch, 1, static_cast<int>(wait < 100L ? wait : 100L)) > 0 &&
                (watch.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0)
                return -1;
        }
        clock_gettime(CLOCK_MONOTONIC, &now);
    }
}

void hold_milliseconds(uint32_t milliseconds)
{
    (void)hold_watching(-1, milliseconds);
}

int local_port_hold(uint32_t milliseconds)
{
    if (hold_watching(port_handle, milliseconds) == 0)
        return 0;
    // The device went away (a USB board left the bus): every call on the
    // descriptor now fails. Let it go at once, so that the tty's name is
    // free for the board when it comes back, and leave nothing behind.
    close(port_handle);
    port_handle = -1;
    port_unlock();
    return -1;
}
