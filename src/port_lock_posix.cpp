// FHS lock files for serial devices. The lock is created with O_EXCL, so two
// runs starting together cannot both win; a lock whose owner is gone is
// taken over, and content that names no process stops nobody for long.
#include "port_lock.h"

#include "serial_port.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

static const char LOCK_DIRECTORY[] = "/var/lock";

// A lock that does not read as a whole process id may be one that another
// program is still writing; after this many seconds it is taken to be debris.
static const time_t UNREADABLE_LOCK_SECONDS = 10;

static char lock_path[PATH_MAX];  // empty while no lock is held

// The lock's name comes from the device's real path, relative to /dev with
// any further '/' as '_', so that /dev/serial/by-id/... and ttyUSB0 meet at
// the same lock. Returns 0, or -1 when the device has no usable name.
static int lock_name(const char *device)
{
    char real[PATH_MAX];
    if (realpath(device, real) == nullptr)
        return -1;
    const char *name = strncmp(real, "/dev/", 5) == 0 ? real + 5 : real + 1;
    int length = snprintf(lock_path, sizeof lock_path, "%s/LCK..%s", LOCK_DIRECTORY, name);
    if (length < 0 || static_cast<size_t>(length) >= sizeof lock_path) {
        lock_path[0] = '\0';
        return -1;
    }
    for (char *c = lock_path + sizeof LOCK_DIRECTORY; *c != '\0'; c++)
        if (*c == '/')
            *c = '_';
    return 0;
}

// The process the lock last read names, for -d; 0 when it names none.
static long lock_owner;

// Whether the lock open on fd, last written at written, belongs to nobody
// alive.
static bool lock_is_stale(int fd, time_t written)
{
    lock_owner = 0;
    char text[32];
    ssize_t length = read(fd, text, sizeof text - 1);
    if (length < 0)
        return false;
    text[length] = '\0';
    const char *c = text;
    while (*c == ' ')
        c++;
    const char *digits = c;
    long long pid = 0;
    for (; *c >= '0' && *c <= '9'; c++)
        if (pid <= INT_MAX)
            pid = pid * 10 + (*c - '0');
    if (c == digits || strcmp(c, "\n") != 0)
        return time(nullptr) - written > UNREADABLE_LOCK_SECONDS;
    // No process has id 0 or one beyond pid_t; kill() must never see them,
    // since 0 and negative ids name process groups.
    if (pid <= 0 || pid > INT_MAX || pid == getpid())
        return true;
    lock_owner = static_cast<long>(pid);
    return kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

// Opens the existing lock for reading. Anyone may create files in the lock
// directory, so only a regular file is ever opened, and without waiting: a
// FIFO there would block the open for ever, and opening a device could move
// its lines. Returns the descriptor, LOCK_GONE when there is no lock, or -1
// when it holds: anything else, like a symbolic link or a lock we may not
// read, does.
enum { LOCK_GONE = -2 };
static int lock_open(struct stat *held)
{
    struct stat named;
    if (lstat(lock_path, &named) != 0)
        return errno == ENOENT ? LOCK_GONE : -1;
    if (!S_ISREG(named.st_mode))
        return -1;
    int fd = open(lock_path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT ? LOCK_GONE : -1;
    if (fstat(fd, held) != 0 || !S_ISREG(held->st_mode)) {
        close(fd);
        return -1;
    }
    return fd;
}

// Removes the existing lock if its owner is gone. Two runs that find the
// same stale lock take turns through flock on it: the second then sees that
// the name leads to a new lock. Returns 1 when it was removed, 0 when it is
// stale but cannot be removed, -1 when it holds.
static int lock_take_over()
{
    struct stat held, named;
    lock_owner = 0;
    int fd = lock_open(&held);
    if (fd < 0)
        return fd == LOCK_GONE ? 1 : -1;
    int result = -1;
    if (flock(fd, LOCK_EX | LOCK_NB) == 0 && lock_is_stale(fd, held.st_mtime) &&
        stat(lock_path, &named) == 0 && held.st_dev == named.st_dev &&
        held.st_ino == named.st_ino)
        result = unlink(lock_path) == 0 ? 1 : 0;
    close(fd);
    return result;
}

bool port_lock_held(const char *path)
{
    if (lock_name(path) != 0)
        return false;
    struct stat held;
    int fd = lock_open(&held);
    bool result = fd == -1 || (fd >= 0 && !lock_is_stale(fd, held.st_mtime));
    if (fd >= 0)
        close(fd);
    lock_path[0] = '\0';
    return result;
}

int port_lock(const char *path)
{
    if (lock_name(path) != 0)
        return 0;
    for (int attempt = 0; attempt < 3; attempt++) {
        int fd = open(lock_path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd >= 0) {
            char text[16];
            int length = snprintf(text, sizeof text, "%10ld\n", static_cast<long>(getpid()));
            bool written = write(fd, text, static_cast<size_t>(length)) == length;
            if (close(fd) != 0 || !written)
                port_unlock();  // a lock we could not write; go on without one
            return 0;
        }
        int taken_over = errno == EEXIST ? lock_take_over() : 0;
        if (taken_over <= 0) {
            // A live owner; or no usable lock directory, or a stale lock we
            // may not remove, where nobody alive holds the port and the run
            // carries on without a lock file.
            if (taken_over < 0 && lock_owner != 0)
                port_reason_set("the lock file %s names process %ld, which is running", lock_path,
                                lock_owner);
            else if (taken_over < 0)
                port_reason_set("the lock file %s is not a lock of a process that is gone: it "
                                "cannot be read, is no regular file, or is being written",
                                lock_path);
            lock_path[0] = '\0';
            return taken_over;
        }
    }
    port_reason_set("the lock file %s kept coming back: another run is taking the port", lock_path);
    lock_path[0] = '\0';
    return -1;  // the lock kept coming back: another run is taking the port
}

void port_unlock()
{
    // A lock that cannot be removed names a process that is about to be gone;
    // the next run takes it over as stale.
    if (lock_path[0] != '\0')
        (void)unlink(lock_path);
    lock_path[0] = '\0';
}
