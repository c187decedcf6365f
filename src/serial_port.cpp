// Platform-neutral part of the serial port layer.
#include "serial_port.h"

#include "mdns.h"
#include "port_list.h"
#include "port_search.h"
#include "rfc2217.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

int port_path(char *path, size_t capacity, const char *prefix, const char *name)
{
    size_t prefix_length = strlen(prefix);
    size_t name_length = strlen(name);
    if (capacity == 0)
        return -1;
    path[0] = '\0';
    if (name_length >= capacity || prefix_length >= capacity - name_length)
        return -1;
    memcpy(path, prefix, prefix_length);
    memcpy(path + prefix_length, name, name_length + 1);
    return 0;
}

static char reason[400];

void port_reason_set(const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    // clang-tidy 14 takes the list for uninitialized here, as it does not
    // after va_start elsewhere.
    vsnprintf(reason, sizeof reason, format, arguments);  // NOLINT(clang-analyzer-valist.Uninitialized)
    va_end(arguments);
}

int port_open_failed(const char *name)
{
    fprintf(stderr, "Unable to open Serial Port '%s'.\n", name);
    if (port_search_report != 0 && reason[0] != '\0')
        fprintf(stderr, "Why: %s\n", reason);
    reason[0] = '\0';
    return -1;
}

// Which port the open chose, by the name given; the line operations, the
// hold and the close follow it.
static bool port_remote;
static const char *port_given;

int lines_apply(int selection, int dtr_operation, int rts_operation)
{
    int dtr = (selection & LINE_DTR) != 0 ? dtr_operation : 0;
    int rts = (selection & LINE_RTS) != 0 ? rts_operation : 0;
    bool dtr_failed = false, rts_failed = false;
    if (port_remote) {
        remote_lines_change(dtr, rts, &dtr_failed, &rts_failed);
    } else {
        dtr_failed = dtr != 0 && local_line_change(dtr) != 0;
        rts_failed = rts != 0 && local_line_change(rts) != 0;
    }
    if (dtr_failed)
        fputs("Unable to set DTR mode !\n", stderr);
    if (rts_failed)
        fputs("Unable to set RTS mode !\n", stderr);
    return dtr_failed || rts_failed ? -1 : 0;
}

int lines_hold(uint32_t milliseconds)
{
    // Through a server, the server holds the port: it is its to watch.
    if (port_remote) {
        hold_milliseconds(remote_hold(milliseconds));
        return 0;
    }
    if (local_port_hold(milliseconds) == 0)
        return 0;
    fprintf(stderr, "Serial Port '%s' went away during the hold !\n", port_given);
    return -1;
}

int port_open(const char *name)
{
    port_given = name;
    port_remote = remote_port_name(name) || mdns_port_name(name);
    if (remote_port_name(name))
        return remote_port_open(name);
    if (mdns_port_name(name)) {
        // What the network names is opened as if its address had been given.
        char address[REMOTE_NAME_MAX + 1];
        if (mdns_search(name, address, sizeof address) != 0)
            return port_open_failed(name);
        return remote_port_open(address);
    }
    if (!port_search_name(name))
        return local_port_open(name);
    // What a search finds is opened as if its name had been given.
    char found[PORT_NAME_MAX];
    if (port_search(name, found, sizeof found) != 0)
        return port_open_failed(name);
    return local_port_open(found);
}

int port_close()
{
    if (port_remote)
        return remote_port_close();
    local_port_close();
    return 0;
}
