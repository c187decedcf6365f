// The local ports of a Linux system, read from sysfs as pyserial's
// list_ports reads them, without udev: the tty classes it lists, each
// followed from /sys/class/tty/NAME/device up to its USB interface and
// device. A system without that tree lists nothing.
#include "port_list.h"

#include "port_holders.h"
#include "port_lock.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>

static const char *const TTY_KINDS[] = {"ttyS", "ttyUSB", "ttyXRUSB", "ttyACM",
                                        "ttyAMA", "rfcomm", "ttyAP"};

static bool listed_kind(const char *name)
{
    for (const char *kind : TTY_KINDS) {
        size_t length = strlen(kind);
        // ttyS0 and ttyUSB0 are both kinds of their own: the rest must be digits.
        if (strncmp(name, kind, length) == 0 && name[length] >= '0' && name[length] <= '9' &&
            strspn(name + length, "0123456789") == strlen(name + length))
            return true;
    }
    return false;
}

// The first line of folder/file without its line end, or false.
static bool line_read(const char *folder, const char *file, char *line, size_t capacity)
{
    char path[PATH_MAX];
    if (snprintf(path, sizeof path, "%s/%s", folder, file) >= static_cast<int>(sizeof path))
        return false;
    FILE *f = fopen(path, "re");
    if (f == nullptr)
        return false;
    bool read = fgets(line, static_cast<int>(capacity), f) != nullptr;
    fclose(f);
    if (read)
        line[strcspn(line, "\r\n")] = '\0';
    return read;
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

// Describes /sys/class/tty/NAME. Returns false for a port with nothing behind it.
static bool entry_describe(PortEntry *entry, const char *name)
{
    char link[PATH_MAX], device_path[PATH_MAX], subsystem_link[PATH_MAX], subsystem[PATH_MAX];
    // The caller has checked that the name fits.
    snprintf(entry->name, sizeof entry->name, "/dev/%s", name);
    snprintf(entry->description, sizeof entry->description, "n/a");
    snprintf(entry->hardware_id, sizeof entry->hardware_id, "n/a");
    snprintf(link, sizeof link, "/sys/class/tty/%s/device", name);
    if (realpath(link, device_path) == nullptr)
        return true;
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

size_t port_list(PortEntry *entries, size_t capacity)
{
    DIR *folder = opendir("/sys/class/tty");
    if (folder == nullptr)
        return 0;
    size_t count = 0;
    for (struct dirent *item; count < capacity && (item = readdir(folder)) != nullptr;)
        if (listed_kind(item->d_name) && strlen(item->d_name) < PORT_NAME_MAX - 5 &&
            entry_describe(&entries[count], item->d_name))
            count++;
    closedir(folder);
    return count;
}

bool port_busy(const char *name)
{
    // The checks the open makes before it opens: an open would raise the
    // port's lines, and on Linux is no way to ask.
    return port_holders_check(name) != 0 || port_lock_held(name);
}
