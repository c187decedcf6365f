// Platform-neutral part of the serial port layer.
#include "serial_port.h"

#include "port_list.h"
#include "port_search.h"
#include "rfc2217.h"

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

int lines_apply(int selection, int dtr_operation, int rts_operation)
{
    int result = 0;
    if ((selection & LINE_DTR) && line_change(dtr_operation) != 0) {
        fputs("Unable to set DTR mode !\n", stderr);
        result = -1;
    }
    if ((selection & LINE_RTS) && line_change(rts_operation) != 0) {
        fputs("Unable to set RTS mode !\n", stderr);
        result = -1;
    }
    return result;
}

// Which port the open chose; the line operations and the close follow it.
static bool port_remote;

int port_open(const char *name)
{
    port_remote = remote_port_name(name);
    if (port_remote)
        return remote_port_open(name);
    if (!port_search_name(name))
        return local_port_open(name);
    // What a search finds is opened as if its name had been given.
    char found[PORT_NAME_MAX];
    if (port_search(name, found, sizeof found) != 0) {
        fprintf(stderr, "Unable to open Serial Port '%s'.\n", name);
        return -1;
    }
    return local_port_open(found);
}

int line_change(int operation)
{
    return port_remote ? remote_line_change(operation) : local_line_change(operation);
}

int port_close()
{
    if (port_remote)
        return remote_port_close();
    local_port_close();
    return 0;
}
