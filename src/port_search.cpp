// Finding a local port by what it is. The pattern language is a small
// regular-expression engine of our own, so that a name finds the same port
// on every platform: the pattern is compiled to a program that a Pike
// machine runs over the text, which takes time in proportion to the text
// whatever the pattern, since the text comes from devices we do not control.
#include "port_search.h"

#include "port_list.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

int port_search_report;

static const char SCHEME[] = "hwgrep://";

static char lower(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool port_search_name(const char *name)
{
    for (size_t i = 0; SCHEME[i] != '\0'; i++)
        if (lower(name[i]) != SCHEME[i])
            return false;
    return true;
}

// The compiled pattern. Targets are instruction numbers.
enum { OP_CHAR, OP_ANY, OP_CLASS, OP_SPLIT, OP_JUMP, OP_LINE_START, OP_LINE_END, OP_MATCH };
enum { PROGRAM_MAX = 512, CLASS_MAX = 32, NESTING_MAX = 32 };
struct Instruction {
    int op;
    int value;  // the character, or the class's number
    int x, y;   // where SPLIT and JUMP go
};
struct Program {
    Instruction code[PROGRAM_MAX];
    int length;
    unsigned char classes[CLASS_MAX][32];  // a bit per byte value
    int class_count;
    bool failed;
    int depth;
};

static int emit(Program *program, int op, int value)
{
    if (program->length == PROGRAM_MAX) {
        program->failed = true;
        return PROGRAM_MAX - 1;
    }
    Instruction *next = &program->code[program->length];
    next->op = op;
    next->value = value;
    next->x = next->y = 0;
    return program->length++;
}

// Puts a SPLIT in front of the fragment that starts at `at`, the program's
// tail: targets into the fragment move with it; a jump from before it to its
// start now reaches the SPLIT, which is where it belongs.
static void split_before(Program *program, int at)
{
    if (program->length == PROGRAM_MAX) {
        program->failed = true;
        return;
    }
    memmove(&program->code[at + 1], &program->code[at],
            static_cast<size_t>(program->length - at) * sizeof program->code[0]);
    program->length++;
    for (int i = 0; i < program->length; i++) {
        Instruction *moved = &program->code[i];
        if (moved->op != OP_SPLIT && moved->op != OP_JUMP)
            continue;
        int from = i > at ? at : at + 1;
        moved->x += moved->x >= from ? 1 : 0;
        moved->y += moved->y >= from ? 1 : 0;
    }
    program->code[at].op = OP_SPLIT;
}

static void class_add(unsigned char *set, int c)
{
    // The text is searched in lower case: an upper-case letter stands for both.
    int folded = c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c;
    set[c >> 3] = static_cast<unsigned char>(set[c >> 3] | 1u << (c & 7));
    set[folded >> 3] = static_cast<unsigned char>(set[folded >> 3] | 1u << (folded & 7));
}

static void class_range(unsigned char *set, int first, int last)
{
    for (int c = first; c <= last; c++)
        class_add(set, c);
}

// A letter or digit after "\\" that is none of ours: Python's re refuses
// those it does not know, and we know fewer.
static bool escape_unknown(char c)
{
    return ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) &&
           c != 'd' && c != 'w' && c != 's';
}

// \d, \w and \s as Python's re has them for ASCII; false for any other escape.
static bool class_escape(unsigned char *set, char c)
{
    switch (c) {
    case 'd': class_range(set, '0', '9'); return true;
    case 'w':
        class_range(set, '0', '9');
        class_range(set, 'a', 'z');
        class_add(set, '_');
        return true;
    case 's':
        class_range(set, '\t', '\r');
        class_add(set, ' ');
        return true;
    default: return false;
    }
}

static int class_new(Program *program)
{
    if (program->class_count == CLASS_MAX) {
        program->failed = true;
        return 0;
    }
    memset(program->classes[program->class_count], 0, sizeof program->classes[0]);
    return program->class_count++;
}

static const char *parse_class(Program *program, const char *p)
{
    int number = class_new(program);
    unsigned char *set = program->classes[number];
    bool negated = *p == '^';
    p += negated ? 1 : 0;
    for (bool first = true; first || *p != ']'; first = false) {
        if (*p == '\0') {
            program->failed = true;
            return p;
        }
        int c = static_cast<unsigned char>(*p++);
        if (c == '\\' && escape_unknown(*p))
            program->failed = true;
        if (c == '\\' && *p != '\0') {
            if (class_escape(set, *p++))
                continue;
            c = static_cast<unsigned char>(p[-1]);
        }
        int last = c;
        if (*p == '-' && p[1] != ']' && p[1] != '\0') {
            last = static_cast<unsigned char>(p[1] == '\\' && p[2] != '\0' ? p[2] : p[1]);
            p += p[1] == '\\' && p[2] != '\0' ? 3 : 2;
            if (last < c)
                program->failed = true;
        }
        class_range(set, c, last);
    }
    for (size_t i = 0; negated && i < sizeof program->classes[0]; i++)
        set[i] = static_cast<unsigned char>(~set[i]);
    emit(program, OP_CLASS, number);
    return p + 1;
}

// The parser descends once per group, and groups nest at most NESTING_MAX deep.
static const char *parse_alternation(Program *program, const char *p);

// NOLINTNEXTLINE(misc-no-recursion)
static const char *parse_atom(Program *program, const char *p)
{
    char c = *p++;
    switch (c) {
    case '.': emit(program, OP_ANY, 0); return p;
    case '^': emit(program, OP_LINE_START, 0); return p;
    case '$': emit(program, OP_LINE_END, 0); return p;
    case '[': return parse_class(program, p);
    case '(':
        if (++program->depth > NESTING_MAX) {
            program->failed = true;
            return p;
        }
        p += p[0] == '?' && p[1] == ':' ? 2 : 0;
        p = parse_alternation(program, p);
        program->depth--;
        if (*p != ')')
            program->failed = true;
        return *p == ')' ? p + 1 : p;
    case '*': case '+': case '?': case ')': case '\0':
        program->failed = true;  // nothing to repeat, or a group never opened
        return p - 1;
    case '\\': {
        if (*p == '\0' || escape_unknown(*p)) {
            program->failed = true;
            return p;
        }
        int number = class_new(program);
        if (!program->failed && class_escape(program->classes[number], *p)) {
            emit(program, OP_CLASS, number);
            return p + 1;
        }
        program->class_count--;
        emit(program, OP_CHAR, static_cast<unsigned char>(lower(*p)));
        return p + 1;
    }
    default: emit(program, OP_CHAR, static_cast<unsigned char>(lower(c))); return p;
    }
}

// NOLINTNEXTLINE(misc-no-recursion)
static const char *parse_repeat(Program *program, const char *p)
{
    int at = program->length;
    bool anchor = *p == '^' || *p == '$';
    p = parse_atom(program, p);
    if (program->failed || (*p != '*' && *p != '+' && *p != '?'))
        return p;
    if (anchor) {
        program->failed = true;  // as in Python's re: an anchor is nothing to repeat
        return p;
    }
    char quantifier = *p++;
    if (*p == '?')
        p++;  // a lazy repeat finds the same ports
    if (*p == '*' || *p == '+' || *p == '?') {
        program->failed = true;  // a repeat of a repeat
        return p;
    }
    if (quantifier == '+') {
        int split = emit(program, OP_SPLIT, 0);
        program->code[split].x = at;
        program->code[split].y = split + 1;
        return p;
    }
    split_before(program, at);
    if (quantifier == '*') {
        int jump = emit(program, OP_JUMP, 0);
        program->code[jump].x = at;
    }
    if (program->failed)
        return p;
    program->code[at].x = at + 1;
    program->code[at].y = program->length;
    return p;
}

// NOLINTNEXTLINE(misc-no-recursion)
static const char *parse_alternation(Program *program, const char *p)
{
    int start = program->length;
    while (!program->failed && *p != '\0' && *p != '|' && *p != ')')
        p = parse_repeat(program, p);
    if (program->failed || *p != '|')
        return p;
    split_before(program, start);
    int jump = emit(program, OP_JUMP, 0);
    if (program->failed)
        return p;  // too long a pattern
    program->code[start].x = start + 1;
    program->code[start].y = jump + 1;
    p = parse_alternation(program, p + 1);
    program->code[jump].x = program->length;
    return p;
}

static bool compile(Program *program, const char *pattern)
{
    memset(program, 0, sizeof *program);
    const char *end = parse_alternation(program, pattern);
    if (*end != '\0')
        program->failed = true;  // a ")" never opened
    emit(program, OP_MATCH, 0);
    return !program->failed;
}

// The threads of a Pike machine at one position of the text: each
// instruction at most once.
struct Threads {
    int pc[PROGRAM_MAX];
    int count;
    unsigned int seen[PROGRAM_MAX];
};

// Adds the thread at pc and every one it leads to without taking a character.
static void thread_add(const Program *program, Threads *threads, unsigned int step, int pc,
                       const char *text, size_t at)
{
    int pending[2 * PROGRAM_MAX];  // each instruction is entered once, and pushes at most two
    int count = 0;
    pending[count++] = pc;
    while (count > 0) {
        pc = pending[--count];
        if (threads->seen[pc] == step)
            continue;
        threads->seen[pc] = step;
        const Instruction *here = &program->code[pc];
        switch (here->op) {
        case OP_JUMP: pending[count++] = here->x; break;
        case OP_SPLIT:
            pending[count++] = here->y;
            pending[count++] = here->x;
            break;
        case OP_LINE_START:
            if (at == 0)
                pending[count++] = pc + 1;
            break;
        case OP_LINE_END:
            if (text[at] == '\0')
                pending[count++] = pc + 1;
            break;
        default: threads->pc[threads->count++] = pc;
        }
    }
}

static bool program_search(const Program *program, const char *text)
{
    static Threads lists[2];
    memset(lists, 0, sizeof lists);
    Threads *now = &lists[0], *next = &lists[1];
    unsigned int step = 1;
    for (size_t at = 0;; at++, step++) {
        // Unanchored: a match may begin at every position.
        thread_add(program, now, step, 0, text, at);
        next->count = 0;
        unsigned char c = static_cast<unsigned char>(lower(text[at]));
        for (int i = 0; i < now->count; i++) {
            const Instruction *here = &program->code[now->pc[i]];
            bool taken = false;
            switch (here->op) {
            case OP_MATCH: return true;
            case OP_CHAR: taken = c != '\0' && c == here->value; break;
            case OP_ANY: taken = c != '\0'; break;
            default:  // OP_CLASS
                taken = c != '\0' && (program->classes[here->value][c >> 3] >> (c & 7) & 1u);
                break;
            }
            if (taken)
                thread_add(program, next, step + 1, now->pc[i] + 1, text, at + 1);
        }
        if (text[at] == '\0')
            return false;
        Threads *swap = now;
        now = next;
        next = swap;
    }
}

int pattern_valid(const char *pattern)
{
    static Program program;
    return compile(&program, pattern) ? 0 : -1;
}

bool pattern_search(const char *pattern, const char *text)
{
    static Program program;
    return compile(&program, pattern) && program_search(&program, text);
}

int port_name_compare(const char *a, const char *b)
{
    while (*a != '\0' && *b != '\0') {
        if (*a >= '0' && *a <= '9' && *b >= '0' && *b <= '9') {
            // Numbers by their value: by length without leading zeros, then digit by digit.
            while (*a == '0' && a[1] >= '0' && a[1] <= '9')
                a++;
            while (*b == '0' && b[1] >= '0' && b[1] <= '9')
                b++;
            size_t length_a = strspn(a, "0123456789"), length_b = strspn(b, "0123456789");
            if (length_a != length_b)
                return length_a < length_b ? -1 : 1;
            int digits = strncmp(a, b, length_a);
            if (digits != 0)
                return digits;
            a += length_a;
            b += length_b;
            continue;
        }
        if (*a != *b)
            return static_cast<unsigned char>(*a) < static_cast<unsigned char>(*b) ? -1 : 1;
        a++;
        b++;
    }
    return *a == *b ? 0 : *a == '\0' ? -1 : 1;
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
            size_t digits = strspn(option + 2, "0123456789");
            if (digits != option_length - 2 || digits > 6)
                return -1;
            *n = strtoul(option + 2, nullptr, 10);
            if (*n == 0)
                return -1;
        } else {
            return -1;
        }
        rest = option + option_length;
    }
    return 0;
}

static int entry_compare(const void *a, const void *b)
{
    return port_name_compare(static_cast<const PortEntry *>(a)->name,
                             static_cast<const PortEntry *>(b)->name);
}

static bool entry_matches(const Program *program, const PortEntry *entry)
{
    return program_search(program, entry->name) || program_search(program, entry->description) ||
           program_search(program, entry->hardware_id);
}

// What pyserial's "python -m serial.tools.list_ports -v" prints.
static void entries_print(const PortEntry *entries, size_t count)
{
    for (size_t i = 0; i < count; i++)
        fprintf(stderr, "%-20s\n    desc: %s\n    hwid: %s\n", entries[i].name,
                entries[i].description, entries[i].hardware_id);
    fprintf(stderr, "%lu ports found\n", static_cast<unsigned long>(count));
}

int port_search(const char *name, char *found, size_t capacity)
{
    static PortEntry entries[PORT_LIST_MAX];
    static Program program;
    char pattern[PATTERN_MAX];
    unsigned long n;
    bool skip_busy;
    if (search_parse(name, pattern, &n, &skip_busy) != 0 || !compile(&program, pattern))
        return -1;
    size_t count = port_list(entries, PORT_LIST_MAX);
    qsort(entries, count, sizeof entries[0], entry_compare);
    for (size_t i = 0; i < count; i++) {
        const PortEntry *entry = &entries[i];
        if (!entry_matches(&program, entry) || (skip_busy && port_busy(entry->name)) || --n > 0)
            continue;
        if (strlen(entry->name) >= capacity)
            return -1;
        memcpy(found, entry->name, strlen(entry->name) + 1);
        if (port_search_report != 0) {
            printf("Found: '%s' %s\n", entry->name, entry->hardware_id);
            fflush(stdout);
        }
        return 0;
    }
    if (port_search_report != 0)
        entries_print(entries, count);
    return -1;
}
