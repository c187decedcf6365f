// Finding a local port by what it is: the name taken apart, every port the
// system lists, in order, and the pattern (pattern.h) run over each.
#include "port_search.h"

#include "pattern.h"
#include "port_list.h"
#include "serial_port.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

int port_search_report;

static const char SCHEME[] = "hwgrep://";

bool port_search_name(const char *name)
{
    return name_has_scheme(name, SCHEME);
}

int search_count_parse(const char *digits, size_t length, unsigned long *n)
{
    if (length == 0 || length > 6 || strspn(digits, "0123456789") < length)
        return -1;
    *n = strtoul(digits, nullptr, 10);
    return *n == 0 ? -1 : 0;
}

enum { PATTERN_MAX = 512 };

// hwgrep://PATTERN[&n=N][&skip_busy]: the pattern runs to the first "&",
// as in pyserial.
static int search_parse(const char *name, char *pattern, unsigned long *n, bool *skip_busy)
{
    const char *rest = name + strlen(SCHEME);
    size_t length = strcspn(rest, "&");
    if (length >= PATTERN_MAX)
        return -1;
    memcpy(pattern, rest, length);
    pattern[length] = '\0';
    *n = 1;
    *skip_busy = false;
    for (rest += length; *rest == '&';) {
        const char *option = rest + 1;
        size_t option_length = strcspn(option, "&");
        if (option_length == 9 && memcmp(option, "skip_busy", 9) == 0) {
            *skip_busy = true;
        } else if (option_length > 2 && memcmp(option, "n=", 2) == 0) {
            if (search_count_parse(option + 2, option_length - 2, n) != 0)
                return -1;
        } else {
            return -1;
        }
        rest = option + option_length;
    }
    return 0;
}

PortEntry *port_entry_new(PortEntry **entries, size_t *count, size_t *capacity)
{
    if (*count == *capacity) {
        if (*capacity == PORT_LIST_MAX)
            return nullptr;
        size_t most = PORT_LIST_MAX, larger = *capacity == 0 ? 64 : *capacity * 2;
        larger = larger < most ? larger : most;
        void *grown = realloc(*entries, larger * sizeof **entries);
        if (grown == nullptr)
            return nullptr;
        *entries = static_cast<PortEntry *>(grown);
        *capacity = larger;
    }
    PortEntry *entry = &(*entries)[(*count)++];
    memset(entry, 0, sizeof *entry);
    return entry;
}

static int entry_compare(const void *a, const void *b)
{
    return name_compare(static_cast<const PortEntry *>(a)->name,
                        static_cast<const PortEntry *>(b)->name);
}

static bool entry_matches(const PatternProgram *program, const PortEntry *entry)
{
    return pattern_run(program, entry->name) || pattern_run(program, entry->description) ||
           pattern_run(program, entry->hardware_id);
}

// In UTF-8 the C1 controls and bytes that begin no character are escaped too.
const char *search_text_escaped(const char *text)
{
    static char escaped[4 * PORT_TEXT_MAX + 1];
    size_t out = 0;
    for (const char *at = text; *at != '\0' && out + 4 < sizeof escaped;) {
        unsigned char c = static_cast<unsigned char>(*at);
        size_t length = 1;
        bool control = c < 0x20 || c == 0x7F;
        if (PORT_TEXT_UTF8 && c >= 0x80) {
            length = text_character_length(at);
            control = length == 0 || (c == 0xC2 && static_cast<unsigned char>(at[1]) < 0xA0);
        }
        if (control) {
            snprintf(escaped + out, 5, "\\x%02x", c);
            out += 4;
            at++;
        } else {
            memcpy(escaped + out, at, length);
            out += length;
            at += length;
        }
    }
    escaped[out] = '\0';
    return escaped;
}

// What pyserial's "python -m serial.tools.list_ports -v" prints.
static void entries_print(const PortEntry *entries, size_t count)
{
    for (size_t i = 0; i < count; i++) {
        fprintf(stderr, "%-20s\n", search_text_escaped(entries[i].name));
        fprintf(stderr, "    desc: %s\n", search_text_escaped(entries[i].description));
        fprintf(stderr, "    hwid: %s\n", search_text_escaped(entries[i].hardware_id));
    }
    if (count == 0)
        fputs("no ports found\n", stderr);
    else
        fprintf(stderr, "%lu ports found\n", static_cast<unsigned long>(count));
}

// Picks the port out of the whole list. Returns 0 or -1.
static int port_choose(PortEntry *entries, size_t count, const PatternProgram *program,
                       unsigned long n, bool skip_busy, char *found, size_t capacity)
{
    qsort(entries, count, sizeof entries[0], entry_compare);
    for (size_t i = 0; i < count; i++) {
        const PortEntry *entry = &entries[i];
        if (!entry_matches(program, entry) || (skip_busy && port_busy(entry->name)) || --n > 0)
            continue;
        if (strlen(entry->name) >= capacity)
            return -1;
        memcpy(found, entry->name, strlen(entry->name) + 1);
        if (port_search_report != 0) {
            printf("Found: '%s'", search_text_escaped(entry->name));
            printf(" %s\n", search_text_escaped(entry->hardware_id));
            fflush(stdout);
        }
        return 0;
    }
    if (port_search_report != 0)
        entries_print(entries, count);
    return -1;
}

int lookup_pattern_compile(PatternProgram *program, const char *pattern)
{
    if (pattern_compile(program, pattern, PORT_TEXT_UTF8) == 0)
        return 0;
#define REFUSED "the pattern '%s' is not one the lookup can take: "
    const char *at = program->refused_at;
    if (at == nullptr) {
        port_reason_set(REFUSED "it is too large for the lookup (%d steps, %d classes)",
                        pattern, PATTERN_CODE_MAX, PATTERN_CLASS_MAX);
        return -1;
    }
    // Counted from 1, as the user reads the pattern, in the characters the
    // engine takes: UTF-8's where the texts are UTF-8 (a byte that begins
    // none is one of its own), else bytes.
    unsigned long character = 1;
    for (const char *p = pattern; p < at; character++) {
        size_t length = PORT_TEXT_UTF8 ? text_character_length(p) : 1;
        p += length != 0 ? length : 1;
    }
    if (*at == '\0')
        port_reason_set(REFUSED "it ends too soon", pattern);
    else
        port_reason_set(REFUSED "refused at character %lu, '%s'", pattern, character, at);
#undef REFUSED
    return -1;
}

int port_search(const char *name, char *found, size_t capacity)
{
    static PatternProgram program;
    char pattern[PATTERN_MAX];
    unsigned long n;
    bool skip_busy;
    if (search_parse(name, pattern, &n, &skip_busy) != 0) {
        port_reason_set("an option after the pattern is unknown, or n is no count from 1");
        return -1;
    }
    if (lookup_pattern_compile(&program, pattern) != 0)
        return -1;
    // The choice is made from every port or not at all: a choice from part
    // of the list could be another board than the one meant.
    PortEntry *entries = nullptr;
    long count = port_list(&entries);
    int result = count < 0 ? -1
                           : port_choose(entries, static_cast<size_t>(count), &program, n,
                                         skip_busy, found, capacity);
    free(entries);
    return result;
}
