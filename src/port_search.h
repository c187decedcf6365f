// Ports named by what they are: hwgrep://REGEXP[&n=N][&skip_busy], as
// pyserial and esptool name them. The pattern is searched, ignoring case, in
// each local port's name, description and hardware ID; ports are taken in
// the order of their names, numbers compared as numbers, and the N-th match
// (the first by default) is the port opened. The parsing, the pattern
// language (pattern.h) and the order are the same on every platform; each
// platform lists its ports in a whole file of its own (port_list.h).
#ifndef KOVEX_PORT_SEARCH_H
#define KOVEX_PORT_SEARCH_H

#include <cstddef>

// Whether the name is a search (it begins with "hwgrep://", in any case).
bool port_search_name(const char *name);

// Reads the N of an "n=N" option: 1 to 999999. Returns 0 or -1.
int search_count_parse(const char *digits, size_t length, unsigned long *n);

// A text that a device or the network gave, with its control characters
// escaped as \xhh so that it cannot steer the terminal it is printed on.
// The text is kept until the next call.
const char *search_text_escaped(const char *text);

// Compiles a lookup's pattern. Returns 0, or -1 with the reason, and where
// the pattern went wrong, kept for -d.
struct PatternProgram;
int lookup_pattern_compile(PatternProgram *program, const char *pattern);

// Non-zero: a search also names, on standard output, the port it found and
// its hardware ID, and when nothing matches lists every port it saw on
// standard error. The run sets it from -d.
extern int port_search_report;

// Finds the port a search names and writes its name into found. Returns 0,
// or -1 when the name is no valid search (bad pattern, unknown option, bad
// n) or no port matches it; the caller then reports the open failure with
// the name as given.
int port_search(const char *name, char *found, size_t capacity);

#endif
