// Single-letter option scanner in the classic style: options start with "-",
// letters may share a word, and a letter followed by ':' in the description
// takes an argument. Scanning stops at the first word that is not an option;
// words are never reordered.
#ifndef KOVEX_OPTION_SCANNER_H
#define KOVEX_OPTION_SCANNER_H

#include <cstdint>

// Process-wide scanner state. It is never reset: a second scan carries on
// from where the first one stopped.
extern int32_t option_index;       // next word to examine; 0 = not begun
extern const char *option_cursor;  // next letter of the word in progress
extern const char *option_argument;  // argument of the option just returned
extern int32_t option_letter;      // last letter examined, sign-extended
extern int32_t option_report;      // non-zero: print diagnostics to stderr

// Returns the next option letter, '?' for an unknown letter or a missing
// argument, or -1 when the options are exhausted (option_index then names
// the first word that is not an option, or equals argc).
int option_next(int argc, char *const argv[], const char *description);

#endif
