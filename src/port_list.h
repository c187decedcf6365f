// The local ports this system has, with what identifies each: one whole
// file per platform (sysfs, SetupAPI, none) behind this interface.
#ifndef KOVEX_PORT_LIST_H
#define KOVEX_PORT_LIST_H

#include <cstddef>

enum { PORT_NAME_MAX = 128, PORT_TEXT_MAX = 256, PORT_LIST_MAX = 256 };

// A port as pyserial's serial.tools.list_ports describes it.
struct PortEntry {
    char name[PORT_NAME_MAX];             // what the open takes: /dev/ttyUSB0, COM7
    char description[PORT_TEXT_MAX];      // the product and interface, or the friendly name
    char hardware_id[PORT_TEXT_MAX];      // USB VID:PID=0403:6001 SER=... LOCATION=...
};

// Fills entries with up to capacity ports, in no particular order. Returns
// how many; 0 when the system offers no way to list them.
size_t port_list(PortEntry *entries, size_t capacity);

// Whether another program holds the port, decided without raising its
// lines where the platform allows.
bool port_busy(const char *name);

#endif
