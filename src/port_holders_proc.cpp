// Holders of a terminal found through /proc: one pass over every open
// descriptor of every process we may inspect, comparing the file each one
// leads to with the device. A normal user may inspect only their own
// processes; against the others the lock file, flock and TIOCEXCL still
// stand.
#include "port_holders.h"

#include "port_search.h"
#include "serial_port.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

enum terminal_kind { NOT_TERMINAL, TERMINAL, PTY_SLAVE };

// What the kernel's list of terminal drivers makes of the device. Without
// the list every character device counts as a terminal: a port refused in
// error is better than one trampled on.
static terminal_kind terminal_of(dev_t device)
{
    FILE *drivers = fopen("/proc/tty/drivers", "re");
    if (drivers == nullptr)
        return TERMINAL;
    terminal_kind kind = NOT_TERMINAL;
    char line[256];
    while (kind == NOT_TERMINAL && fgets(line, sizeof line, drivers) != nullptr) {
        // "name /dev/path major minor-range type", the range one number or two.
        char number[16], range[64], type[64];
        if (sscanf(line, "%*s %*s %15s %63s %63s", number, range, type) != 3)
            continue;
        char *rest;
        unsigned long first = strtoul(range, &rest, 10);
        unsigned long last = *rest == '-' ? strtoul(rest + 1, nullptr, 10) : first;
        if (strtoul(number, nullptr, 10) == major(device) && first <= minor(device) &&
            minor(device) <= last)
            kind = strcmp(type, "pty:slave") == 0 ? PTY_SLAVE : TERMINAL;
    }
    fclose(drivers);
    return kind;
}

// Whether the process named pid in /proc has the device open. A pty slave's
// number repeats in every devpts instance (each container and each private
// /dev has its own), so a pty must also be on the port's file system; any
// other device is the same device under every name.
static bool process_holds(int proc, const char *pid, const struct stat *port, bool pty)
{
    char path[NAME_MAX + sizeof "/fd"];
    snprintf(path, sizeof path, "%s/fd", pid);
    int folder = openat(proc, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0)
        return false;  // gone since, or another user's
    DIR *descriptors = fdopendir(folder);
    if (descriptors == nullptr) {
        close(folder);
        return false;
    }
    bool holds = false;
    for (struct dirent *entry; !holds && (entry = readdir(descriptors)) != nullptr;) {
        struct stat opened;
        holds = entry->d_name[0] != '.' && fstatat(folder, entry->d_name, &opened, 0) == 0 &&
                S_ISCHR(opened.st_mode) && opened.st_rdev == port->st_rdev &&
                (!pty || opened.st_dev == port->st_dev);
    }
    closedir(descriptors);
    return holds;
}

int port_holders_check(const char *path)
{
    struct stat port;
    if (stat(path, &port) != 0 || !S_ISCHR(port.st_mode))
        return 0;  // no terminal; the open will say what it is
    terminal_kind kind = terminal_of(port.st_rdev);
    DIR *processes = kind == NOT_TERMINAL ? nullptr : opendir("/proc");
    if (processes == nullptr)
        return 0;
    char own[24];
    snprintf(own, sizeof own, "%ld", static_cast<long>(getpid()));
    bool held = false;
    char holder[24] = "";
    for (struct dirent *entry; !held && (entry = readdir(processes)) != nullptr;) {
        held = entry->d_name[0] >= '1' && entry->d_name[0] <= '9' &&
               strcmp(entry->d_name, own) != 0 &&
               process_holds(dirfd(processes), entry->d_name, &port, kind == PTY_SLAVE);
        if (held)
            snprintf(holder, sizeof holder, "%.20s", entry->d_name);
    }
    closedir(processes);
    if (!held)
        return 0;
    // Its name, as the kernel keeps it, for -d: any bytes, shown escaped.
    char comm_path[48], comm[64] = "?";
    snprintf(comm_path, sizeof comm_path, "/proc/%s/comm", holder);
    FILE *file = fopen(comm_path, "re");
    if (file != nullptr && fgets(comm, sizeof comm, file) != nullptr)
        comm[strcspn(comm, "\n")] = '\0';
    if (file != nullptr)
        fclose(file);
    port_reason_set("%s is open in process %s (%s)", path, holder, search_text_escaped(comm));
    return -1;
}
