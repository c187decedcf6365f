// The local ports this system has, with what identifies each: one whole
// file per platform (sysfs, SetupAPI, none) behind this interface.
#ifndef KOVEX_PORT_LIST_H
#define KOVEX_PORT_LIST_H

#include <cstddef>

enum { PORT_NAME_MAX = 128, PORT_TEXT_MAX = 256, PORT_LIST_MAX = 16384 };

// A port as pyserial's serial.tools.list_ports describes it.
struct PortEntry {
    char name[PORT_NAME_MAX];             // what the open takes: /dev/ttyUSB0, COM7
    char description[PORT_TEXT_MAX];      // the product and interface, or the friendly name
    char hardware_id[PORT_TEXT_MAX];      // USB VID:PID=0403:6001 SER=... LOCATION=...
};

// Whether the texts are UTF-8; otherwise they are in the system's
// single-byte code page.
extern const bool PORT_TEXT_UTF8;

// Lists every port, in no particular order, into a block of memory that the
// caller frees, whatever the result. Returns how many (0 too when the system
// offers no way to list them), or -1 when they could not all be listed: a
// choice from part of them could be the wrong board.
long port_list(PortEntry **entries);

// Makes room for one more entry in a list grown as port_list grows it, and
// returns it cleared; nullptr when there is no memory for it or the list
// holds PORT_LIST_MAX already.
PortEntry *port_entry_new(PortEntry **entries, size_t *count, size_t *capacity);

// Whether another program holds the port, decided without raising its
// lines where the platform allows.
bool port_busy(const char *name);

#endif
