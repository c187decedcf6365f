// The pattern language of hwgrep:// names: regular expressions as Python's
// re reads them with IGNORECASE, or refused. A pattern is compiled to a
// program that a Pike machine runs over the text, in time proportional to
// the text whatever the pattern, since the texts come from devices and
// networks we do not control.
//
// Taken: literals, ".", "[...]" with ranges and "^" negation, "|", "*",
// "+", "?", "{m}", "{m,}", "{,n}", "{m,n}" (lazy forms too), "^", "$",
// "(...)", "(?:...)", "\d", "\w", "\s" and "\" before any other character
// that is not a letter or digit. Everything else Python has (other escapes,
// look-arounds, back-references, inline flags, possessive repeats) is
// refused rather than read another way, and so is a pattern too large for
// the program.
#ifndef KOVEX_PATTERN_H
#define KOVEX_PATTERN_H

#include <cstddef>
#include <cstdint>

enum { PATTERN_CODE_MAX = 512, PATTERN_CLASS_MAX = 32, PATTERN_RANGE_MAX = 512 };

struct PatternInstruction {
    int op;
    uint32_t value;  // the character, or the class's number
    int x, y;        // where SPLIT and JUMP go
};

struct PatternClass {
    bool negated;
    int first, count;  // its ranges in the pool
};

// A compiled pattern. Characters are code points when utf8 is set (the
// texts are UTF-8: "." and a class take one character, and a byte that
// begins no valid sequence is a character of its own), bytes otherwise (a
// single-byte code page, read as Latin-1 for case and classes).
struct PatternProgram {
    PatternInstruction code[PATTERN_CODE_MAX];
    int length;
    PatternClass classes[PATTERN_CLASS_MAX];
    int class_count;
    uint32_t range_low[PATTERN_RANGE_MAX], range_high[PATTERN_RANGE_MAX];
    int range_count;
    bool utf8;
    bool failed;
    const char *refused_at;  // where the pattern was found wrong; none when too large
    int depth;
};

// Compiles pattern into program. Returns 0, or -1 when the pattern is not
// one we take.
int pattern_compile(PatternProgram *program, const char *pattern, bool utf8);

// Whether a compiled pattern occurs anywhere in text, case ignored for the
// letters of ASCII and Latin-1.
bool pattern_run(const PatternProgram *program, const char *text);

// Both steps at once; false for a pattern not taken.
bool pattern_search(const char *pattern, const char *text, bool utf8);

// How many bytes the UTF-8 character at text takes; 0 when none begins
// there (a byte out of place, or the text's end).
size_t text_character_length(const char *text);

// Orders names as people count: "COM2" before "COM10". Like strcmp.
int name_compare(const char *a, const char *b);

// Whether the name begins with the scheme (lower case, such as
// "hwgrep://"), the name's letters in any case.
bool name_has_scheme(const char *name, const char *scheme);

#endif
