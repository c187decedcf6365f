// The local ports of a Linux system as pyserial's list_ports finds them,
// without udev: the /dev entries its patterns name, each described from
// /sys/class/tty/NAME/device up to its USB interface and device. So a port
// that sysfs knows but /dev does not hold (a container given one adapter of
// two) is no port here, and one that /dev holds without sysfs is one.
#include "port_list.h"

#include "port_holders.h"
#include "port_lock.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

const bool PORT_TEXT_UTF8 = true;

// pyserial's glob patterns, /dev/ttyS* and the rest: ttyS* takes the SPI
// UARTs' ttySC* too.
static const char *const TTY_KINDS[] = {"ttyS", "ttyUSB", "ttyXRUSB", "ttyACM",
                                        "ttyAMA", "rfcomm", "ttyAP"};

static bool listed_kind(const char *name)
{
    for (const char *kind : TTY_KINDS)
        if (strncmp(name, kind, strlen(kind)) == 0)
            return true;
    return false;
}

static bool is_space(char c)
{
    // What Python's str.strip() takes away, within ASCII.
    return c == ' ' || (c >= '\t' && c <= '\r') || (c >= 0x1C && c <= 0x1F);
}

// The first line of folder/file, white space stripped at both ends as
// pyserial reads it, or false. Only a regular file is opened, and without
// waiting: a FIFO or a device in an attribute's place must neither hang the
// lookup nor be opened (a port's open moves its lines).
static bool line_read(const char *folder, const char *file, char *line, size_t capacity)
{
    char path[PATH_MAX];
    struct stat about;
    if (snprintf(path, sizeof path, "%s/%s", folder, file) >= static_cast<int>(sizeof path) ||
        stat(path, &about) != 0 || !S_ISREG(about.st_mode))
        return false;
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return false;
    ssize_t got = -1;
    if (fstat(fd, &about) == 0 && S_ISREG(about.st_mode)) {
        do
            got = read(fd, line, capacity - 1);
        while (got < 0 && errno == EINTR);
    }
    close(fd);
    if (got < 0)
        return false;
    line[got] = '\0';
    line[strcspn(line, "\r\n")] = '\0';
    size_t start = 0, end = strlen(line);
    while (start < end && is_space(line[start]))
        start++;
    while (end > start && is_space(line[end - 1]))
        end--;
    memmove(line, line + start, end - start);
    line[end - start] = '\0';
    return true;
}

// Appends to a text of PORT_TEXT_MAX bytes, cutting what does not fit.
static void text_add(char *text, const char *part)
{
    size_t length = strlen(text);
    size_t room = PORT_TEXT_MAX - 1 - length;
    size_t adding = strlen(part) < room ? strlen(part) : room;
    memcpy(text + length, part, adding);
    text[length + adding] = '\0';
}

static const char *base_name(const char *path)
{
    const char *slash = strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
}

// Both are PATH_MAX bytes, as realpath gives them.
static void parent_of(const char *path, char *parent)
{
    memcpy(parent, path, strlen(path) + 1);
    char *slash = strrchr(parent, '/');
    if (slash != nullptr && slash != parent)
        *slash = '\0';
}

static void usb_describe(PortEntry *entry, const char *interface_path)
{
    char device_path[PATH_MAX], vid[16] = "", pid[16] = "", text[PORT_TEXT_MAX];
    parent_of(interface_path, device_path);
    (void)line_read(device_path, "idVendor", vid, sizeof vid);
    (void)line_read(device_path, "idProduct", pid, sizeof pid);
    unsigned long vendor = strtoul(vid, nullptr, 16), product = strtoul(pid, nullptr, 16);
    char part[PORT_TEXT_MAX + 16];
    snprintf(part, sizeof part, "USB VID:PID=%04lX:%04lX", vendor & 0xFFFF, product & 0xFFFF);
    entry->hardware_id[0] = '\0';
    text_add(entry->hardware_id, part);
    if (line_read(device_path, "serial", text, sizeof text)) {
        text_add(entry->hardware_id, " SER=");
        text_add(entry->hardware_id, text);
    }
    // A device of several interfaces (FT4232H, composite CDC) is told apart by the interface.
    bool several = line_read(device_path, "bNumInterfaces", text, sizeof text) &&
                   strtol(text, nullptr, 10) > 1;
    text_add(entry->hardware_id, " LOCATION=");
    text_add(entry->hardware_id, base_name(several ? interface_path : device_path));
    char product_text[PORT_TEXT_MAX], interface_text[PORT_TEXT_MAX];
    bool has_product = line_read(device_path, "product", product_text, sizeof product_text);
    entry->description[0] = '\0';
    if (line_read(interface_path, "interface", interface_text, sizeof interface_text)) {
        text_add(entry->description, has_product ? product_text : "None");
        text_add(entry->description, " - ");
        text_add(entry->description, interface_text);
    } else {
        text_add(entry->description, has_product ? product_text : base_name(entry->name));
    }
}

// What sysfs tells of a port: false for a built-in port slot with no UART.
static bool sysfs_describe(PortEntry *entry, const char *name, const char *device_path)
{
    char subsystem_link[PATH_MAX], subsystem[PATH_MAX];
    const char *kind = "";
    if (snprintf(subsystem_link, sizeof subsystem_link, "%s/subsystem", device_path) <
            static_cast<int>(sizeof subsystem_link) &&
        realpath(subsystem_link, subsystem) != nullptr)
        kind = base_name(subsystem);
    if (strcmp(kind, "platform") == 0)
        return false;  // a built-in port slot with no UART behind it
    if (strcmp(kind, "usb-serial") == 0 || strcmp(kind, "usb") == 0) {
        char interface_path[PATH_MAX];
        if (strcmp(kind, "usb-serial") == 0)
            parent_of(device_path, interface_path);
        else
            memcpy(interface_path, device_path, strlen(device_path) + 1);
        usb_describe(entry, interface_path);
    } else if (strcmp(kind, "pnp") == 0) {
        snprintf(entry->description, sizeof entry->description, "%s", name);
        (void)line_read(device_path, "id", entry->hardware_id, sizeof entry->hardware_id);
    } else if (strcmp(kind, "amba") == 0) {
        snprintf(entry->description, sizeof entry->description, "%s", name);
        entry->hardware_id[0] = '\0';
        text_add(entry->hardware_id, base_name(device_path));
    }
    return true;
}

// Describes /dev/NAME from /sys/class/tty/NAME. Returns false for a port
// with nothing behind it.
static bool entry_describe(PortEntry *entry, const char *name)
{
    char link[PATH_MAX], device_path[PATH_MAX];
    // The caller has checked that the name fits.
    snprintf(entry->name, sizeof entry->name, "/dev/%s", name);
    snprintf(entry->description, sizeof entry->description, "n/a");
    snprintf(entry->hardware_id, sizeof entry->hardware_id, "n/a");
    // pyserial says where an entry that is a symbolic link leads, before
    // and after what sysfs tells.
    struct stat about;
    char target[PATH_MAX] = "";
    if (lstat(entry->name, &about) == 0 && S_ISLNK(about.st_mode)) {
        if (realpath(entry->name, target) == nullptr) {
            ssize_t length = readlink(entry->name, target, sizeof target - 1);
            target[length > 0 ? length : 0] = '\0';
        }
        snprintf(entry->hardware_id, sizeof entry->hardware_id, "LINK=%s", target);
    }
    snprintf(link, sizeof link, "/sys/class/tty/%s/device", name);
    if (realpath(link, device_path) != nullptr && !sysfs_describe(entry, name, device_path))
        return false;
    if (target[0] != '\0') {
        text_add(entry->hardware_id, " LINK=");
        text_add(entry->hardware_id, target);
    }
    return true;
}

long port_list(PortEntry **entries)
{
    *entries = nullptr;
    DIR *folder = opendir("/dev");
    if (folder == nullptr)
        return 0;
    size_t count = 0, capacity = 0;
    bool whole = true;
    for (;;) {
        errno = 0;
        struct dirent *item = readdir(folder);
        if (item == nullptr) {
            whole = errno == 0;
            break;
        }
        if (!listed_kind(item->d_name))
            continue;
        PortEntry *entry = nullptr;
        if (strlen(item->d_name) >= PORT_NAME_MAX - 5 ||
            (entry = port_entry_new(entries, &count, &capacity)) == nullptr) {
            whole = false;  // a port we cannot hold, or no memory for it
            break;
        }
        if (!entry_describe(entry, item->d_name))
            count--;
    }
    closedir(folder);
    return whole ? static_cast<long>(count) : -1;
}

bool port_busy(const char *name)
{
    // The checks the open makes before it opens: an open would raise the
    // port's lines, and on Linux is no way to ask.
    return port_holders_check(name) != 0 || port_lock_held(name);
}
