// The reset run's settings and the helpers that turn words into them.
#ifndef KOVEX_RUN_H
#define KOVEX_RUN_H

#include <cstdint>

// Longest delay whose hold, counted in milliseconds, fits in 32 unsigned bits.
enum : int32_t { DELAY_SECONDS_MAX = 4294967 };

// The standard decimal conversion, the same on every platform: leading
// white space and one sign accepted, digits read up to the first non-digit,
// 0 when there is none, results beyond the signed 32-bit range clamped.
int32_t delay_convert(const char *word);

// The text that names a line selection in progress messages.
const char *line_label(int selection);

#endif
