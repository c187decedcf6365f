// The identity banner: four strings naming the tool, its version and its
// maker, read from the executable's version resource on Windows and compiled
// in elsewhere, printed as two lines at the start of a run.
#ifndef KOVEX_VERSION_IDENTITY_H
#define KOVEX_VERSION_IDENTITY_H

#include <cstddef>

// Capacities in bytes, terminator included.
enum {
    COMPANY_CAPACITY = 64,
    COPYRIGHT_CAPACITY = 32,
    VERSION_CAPACITY = 16,
    DESCRIPTION_CAPACITY = 80
};

extern char identity_company[COMPANY_CAPACITY];
extern char identity_copyright[COPYRIGHT_CAPACITY];
extern char identity_version[VERSION_CAPACITY];
extern char identity_description[DESCRIPTION_CAPACITY];

// Fills the four buffers (each of the capacity above) from the running
// executable's identity. Returns 0, or -1 when there is none to be had;
// fields it cannot find stay as they were.
int version_identity_load(char *company, char *copyright, char *version, char *description);

// Prints the two banner lines and an empty line from the four buffers.
void banner_print();

// Copies at most length bytes of text, stopping at a terminator, into a
// buffer of capacity bytes; always terminates, truncating what does not fit.
void identity_copy(char *buffer, size_t capacity, const char *text, size_t length);

#endif
