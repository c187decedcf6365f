// The pattern engine: a parser that compiles to the instructions of a Pike
// machine, and the machine. Repeats are compiled by copying their fragment,
// so every program is a plain graph of at most PATTERN_CODE_MAX steps.
#include "pattern.h"

#include <climits>
#include <cstring>

enum { OP_CHAR, OP_ANY, OP_CLASS, OP_SPLIT, OP_JUMP, OP_LINE_START, OP_LINE_END, OP_MATCH };
enum { NESTING_MAX = 32 };
// Python refuses counts of 2^32 - 1 and more; ours stop far sooner, at the
// program's size, so a larger count only has to be known as too large.
static const long COUNT_LIMIT = 100000;

// In UTF-8 text, a byte that begins no valid sequence is a character of its
// own, above every code point, so that it only ever matches itself.
static const uint32_t RAW_BYTE = 0x110000;

typedef PatternProgram Program;
typedef PatternInstruction Instruction;

// The character at *text, which moves past it. The text is not at its end.
static uint32_t char_take(const char **text, bool utf8)
{
    const unsigned char *s = reinterpret_cast<const unsigned char *>(*text);
    uint32_t c = s[0];
    (*text)++;
    if (!utf8 || c < 0x80)
        return c;
    int more;
    uint32_t value, least;
    if (c >= 0xC2 && c <= 0xDF) {
        more = 1, value = c & 0x1F, least = 0x80;
    } else if (c >= 0xE0 && c <= 0xEF) {
        more = 2, value = c & 0x0F, least = 0x800;
    } else if (c >= 0xF0 && c <= 0xF4) {
        more = 3, value = c & 0x07, least = 0x10000;
    } else {
        return RAW_BYTE + c;
    }
    for (int i = 1; i <= more; i++) {
        if ((s[i] & 0xC0) != 0x80)  // the text's end stops here too
            return RAW_BYTE + c;
        value = value << 6 | (s[i] & 0x3Fu);
    }
    if (value < least || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
        return RAW_BYTE + c;
    *text += more;
    return value;
}

// Case, for the letters of ASCII and Latin-1 (in a single-byte code page,
// the bytes Latin-1 gives those letters).
static uint32_t fold_down(uint32_t c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7) ? c + 0x20 : c;
}

static uint32_t fold_up(uint32_t c)
{
    return (c >= 'a' && c <= 'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7) ? c - 0x20 : c;
}

// Marks the pattern refused at p, the first place found wrong, so that the
// user can be told where.
static void refuse(Program *program, const char *p)
{
    if (!program->failed)
        program->refused_at = p;
    program->failed = true;
}

static int emit(Program *program, int op, uint32_t value)
{
    if (program->length == PATTERN_CODE_MAX) {
        program->failed = true;
        return PATTERN_CODE_MAX - 1;
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
    if (program->length == PATTERN_CODE_MAX) {
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

// Appends a copy of a fragment that stood at `at`; its targets all lie
// within it or at its end, and move with it.
static void fragment_append(Program *program, const Instruction *fragment, int length, int at)
{
    int base = program->length;
    if (length > PATTERN_CODE_MAX - base) {
        program->failed = true;
        return;
    }
    for (int i = 0; i < length; i++) {
        Instruction *copy = &program->code[base + i];
        *copy = fragment[i];
        if (copy->op == OP_SPLIT || copy->op == OP_JUMP) {
            copy->x += base - at;
            copy->y += copy->op == OP_SPLIT ? base - at : 0;
        }
    }
    program->length += length;
}

// Makes the fragment from `start` to the end optional, or a loop of none or more.
static void fragment_optional(Program *program, int start, bool loop)
{
    split_before(program, start);
    if (loop)
        program->code[emit(program, OP_JUMP, 0)].x = start;
    if (program->failed)
        return;
    program->code[start].x = start + 1;
    program->code[start].y = program->length;
}

// Repeats the fragment at the program's tail from `at`, min to max times
// (max -1: no bound), as that many copies of it: x{2,4} is x x x? x?, and
// x{2,} is x x+. Lazy repeats find the same texts.
static void fragment_repeat(Program *program, int at, long min, long max)
{
    static Instruction saved[PATTERN_CODE_MAX];
    int length = program->length - at;
    memcpy(saved, &program->code[at], static_cast<size_t>(length) * sizeof saved[0]);
    program->length = at;
    int start = at;
    for (long i = 0; i < min && !program->failed; i++) {
        start = program->length;
        fragment_append(program, saved, length, at);
    }
    if (max < 0 && min > 0) {
        int split = emit(program, OP_SPLIT, 0);
        program->code[split].x = start;
        program->code[split].y = split + 1;
        return;
    }
    for (long i = min; (max < 0 ? i == 0 : i < max) && !program->failed; i++) {
        start = program->length;
        fragment_append(program, saved, length, at);
        if (!program->failed)
            fragment_optional(program, start, max < 0);
    }
}

static void class_new(Program *program, bool negated)
{
    if (program->class_count == PATTERN_CLASS_MAX) {
        program->failed = true;
        return;
    }
    PatternClass *set = &program->classes[program->class_count++];
    set->negated = negated;
    set->first = program->range_count;
    set->count = 0;
}

// Adds a range to the class begun last.
static void class_add(Program *program, uint32_t low, uint32_t high)
{
    if (program->failed)
        return;
    if (program->range_count == PATTERN_RANGE_MAX) {
        program->failed = true;
        return;
    }
    program->range_low[program->range_count] = low;
    program->range_high[program->range_count++] = high;
    program->classes[program->class_count - 1].count++;
}

// A letter or digit after "\" that is none of ours: Python's re refuses
// those it does not know, and we know fewer.
static bool escape_unknown(char c)
{
    return ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) &&
           c != 'd' && c != 'w' && c != 's';
}

// \d, \w and \s as Python's re has them for ASCII and Latin-1: \w takes
// Latin-1's letters and number signs, \s its no-break space and NEL too.
static bool class_escape(Program *program, char c)
{
    static const uint32_t WORD[][2] = {{'0', '9'}, {'A', 'Z'}, {'_', '_'}, {'a', 'z'},
                                       {0xAA, 0xAA}, {0xB2, 0xB3}, {0xB5, 0xB5}, {0xB9, 0xBA},
                                       {0xBC, 0xBE}, {0xC0, 0xD6}, {0xD8, 0xF6}, {0xF8, 0xFF}};
    static const uint32_t SPACE[][2] = {{'\t', '\r'}, {0x1C, ' '}, {0x85, 0x85}, {0xA0, 0xA0}};
    switch (c) {
    case 'd': class_add(program, '0', '9'); return true;
    case 'w':
        for (const auto &range : WORD)
            class_add(program, range[0], range[1]);
        return true;
    case 's':
        for (const auto &range : SPACE)
            class_add(program, range[0], range[1]);
        return true;
    default: return false;
    }
}

// One member of a class at p: a character, or with a class escape, none
// (*escape set). Returns where it ends, or nullptr for a bad escape.
static const char *class_member(Program *program, const char *p, uint32_t *c, bool *escape)
{
    *escape = false;
    *c = 0;
    if (*p != '\\')
        return *c = char_take(&p, program->utf8), p;
    p++;
    if (*p == '\0' || escape_unknown(*p))
        return nullptr;
    if (*p == 'd' || *p == 'w' || *p == 's') {
        *escape = true;
        return p;  // not taken yet: the class takes it once it knows it is no range's end
    }
    return *c = char_take(&p, program->utf8), p;
}

static const char *parse_class(Program *program, const char *p)
{
    bool negated = *p == '^';
    class_new(program, negated);
    p += negated ? 1 : 0;
    for (bool first = true; !program->failed && (first || *p != ']'); first = false) {
        uint32_t low, high;
        bool escape, escape_high;
        const char *next = *p == '\0' ? nullptr : class_member(program, p, &low, &escape);
        if (next == nullptr) {
            refuse(program, p);  // unterminated, or an escape Python refuses
            return p;
        }
        if (escape) {
            class_escape(program, *next);
            next++;
        }
        if (next[0] != '-' || next[1] == ']' || next[1] == '\0') {
            if (!escape)
                class_add(program, low, low);
            p = next;
            continue;
        }
        // A range: both ends must be characters, in order, as Python wants.
        p = class_member(program, next + 1, &high, &escape_high);
        if (p == nullptr || escape || escape_high || high < low) {
            refuse(program, next);
            return next;
        }
        class_add(program, low, high);
    }
    if (!program->failed)
        emit(program, OP_CLASS, static_cast<uint32_t>(program->class_count - 1));
    return *p == ']' ? p + 1 : p;
}

// A repeat count in braces at p ("{m}", "{m,}", "{,n}", "{m,n}", "{,}"),
// read as Python reads it; nullptr where Python takes the brace as a literal.
static const char *count_parse(const char *p, long *min, long *max)
{
    p++;
    if (*p == '}')
        return nullptr;
    long low = 0, high = -1;
    size_t digits = strspn(p, "0123456789");
    for (size_t i = 0; i < digits; i++)
        low = low < COUNT_LIMIT ? low * 10 + (p[i] - '0') : COUNT_LIMIT;
    p += digits;
    if (*p == ',') {
        p++;
        size_t more = strspn(p, "0123456789");
        for (size_t i = 0; i < more; i++)
            high = (high < 0 ? 0 : high < COUNT_LIMIT ? high * 10 : COUNT_LIMIT) + (p[i] - '0');
        p += more;
    } else {
        high = low;
    }
    if (*p != '}')
        return nullptr;
    *min = low;
    *max = high;
    return p + 1;
}

static const char *quantifier(const char *p, long *min, long *max)
{
    switch (*p) {
    case '*': *min = 0, *max = -1; return p + 1;
    case '+': *min = 1, *max = -1; return p + 1;
    case '?': *min = 0, *max = 1; return p + 1;
    case '{': return count_parse(p, min, max);
    default: return nullptr;
    }
}

// The parser descends once per group, and groups nest at most NESTING_MAX deep.
static const char *parse_alternation(Program *program, const char *p);

// NOLINTNEXTLINE(misc-no-recursion)
static const char *parse_atom(Program *program, const char *p)
{
    long min, max;
    switch (*p) {
    case '.': emit(program, OP_ANY, 0); return p + 1;
    case '^': emit(program, OP_LINE_START, 0); return p + 1;
    case '$': emit(program, OP_LINE_END, 0); return p + 1;
    case '[': return parse_class(program, p + 1);
    case '(':
        if (++program->depth > NESTING_MAX) {
            refuse(program, p);
            return p;
        }
        p += p[1] == '?' && p[2] == ':' ? 3 : 1;
        p = parse_alternation(program, p);
        program->depth--;
        if (*p != ')')
            refuse(program, p);
        return *p == ')' ? p + 1 : p;
    case '*': case '+': case '?': case ')': case '\0':
        refuse(program, p);  // nothing to repeat, or a group never opened
        return p;
    case '{':
        if (count_parse(p, &min, &max) != nullptr) {
            refuse(program, p);  // a count with nothing to repeat
            return p;
        }
        emit(program, OP_CHAR, '{');
        return p + 1;
    case '\\':
        p++;
        if (*p == '\0' || escape_unknown(*p)) {
            refuse(program, p - 1);
            return p;
        }
        if (*p == 'd' || *p == 'w' || *p == 's') {
            class_new(program, false);
            class_escape(program, *p);
            emit(program, OP_CLASS, static_cast<uint32_t>(program->class_count - 1));
            return p + 1;
        }
        emit(program, OP_CHAR, fold_down(char_take(&p, program->utf8)));
        return p;
    default: emit(program, OP_CHAR, fold_down(char_take(&p, program->utf8))); return p;
    }
}

// NOLINTNEXTLINE(misc-no-recursion)
static const char *parse_repeat(Program *program, const char *p)
{
    int at = program->length;
    bool anchor = *p == '^' || *p == '$';
    p = parse_atom(program, p);
    long min, max, again_min, again_max;
    const char *after = program->failed ? nullptr : quantifier(p, &min, &max);
    if (after == nullptr)
        return p;
    // As in Python's re: an anchor is nothing to repeat, a repeat of a
    // repeat is refused (a possessive one among them), and so is {m,n} with
    // n below m.
    const char *repeat = p;
    p = after + (*after == '?' ? 1 : 0);
    if (quantifier(p, &again_min, &again_max) != nullptr) {
        refuse(program, p);
        return p;
    }
    if (anchor || (max >= 0 && max < min)) {
        refuse(program, repeat);
        return p;
    }
    fragment_repeat(program, at, min, max);
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

int pattern_compile(Program *program, const char *pattern, bool utf8)
{
    memset(program, 0, sizeof *program);
    program->utf8 = utf8;
    const char *end = parse_alternation(program, pattern);
    if (*end != '\0')
        refuse(program, end);  // a ")" never opened
    emit(program, OP_MATCH, 0);
    return program->failed ? -1 : 0;
}

static bool class_has(const Program *program, const PatternClass *set, uint32_t c)
{
    for (int i = set->first; i < set->first + set->count; i++)
        if (c >= program->range_low[i] && c <= program->range_high[i])
            return true;
    return false;
}

static bool class_matches(const Program *program, uint32_t number, uint32_t c)
{
    const PatternClass *set = &program->classes[number];
    bool in = class_has(program, set, c) || class_has(program, set, fold_down(c)) ||
              class_has(program, set, fold_up(c));
    return in != set->negated;
}

// The threads of a Pike machine at one position of the text: each
// instruction at most once.
struct Threads {
    int pc[PATTERN_CODE_MAX];
    int count;
    unsigned int seen[PATTERN_CODE_MAX];
};

// Adds the thread at pc and every one it leads to without taking a character.
static void thread_add(const Program *program, Threads *threads, unsigned int step, int pc,
                       const char *text, const char *at)
{
    int pending[2 * PATTERN_CODE_MAX];  // each instruction is entered once, and pushes at most two
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
            if (at == text)
                pending[count++] = pc + 1;
            break;
        case OP_LINE_END:  // Python's $ also stands before a last line end
            if (at[0] == '\0' || (at[0] == '\n' && at[1] == '\0'))
                pending[count++] = pc + 1;
            break;
        default: threads->pc[threads->count++] = pc;
        }
    }
}

bool pattern_run(const Program *program, const char *text)
{
    // Each position of each run marks what it has seen with a step of its
    // own, so that the lists are cleared only once the steps wrap, not for
    // every run: a lookup runs the pattern on up to a million short texts.
    static Threads lists[2];
    static unsigned int last_step;
    if (last_step > UINT_MAX / 2) {
        memset(lists, 0, sizeof lists);
        last_step = 0;
    }
    Threads *now = &lists[0], *next = &lists[1];
    now->count = 0;
    const char *at = text;
    last_step++;  // past the marks the last run left for its next position
    for (unsigned int step = ++last_step;; step = ++last_step) {
        // Unanchored: a match may begin at every position.
        thread_add(program, now, step, 0, text, at);
        next->count = 0;
        const char *after = at;
        uint32_t c = *at == '\0' ? 0 : char_take(&after, program->utf8);
        for (int i = 0; i < now->count; i++) {
            const Instruction *here = &program->code[now->pc[i]];
            bool taken = false;
            switch (here->op) {
            case OP_MATCH: return true;
            case OP_CHAR: taken = *at != '\0' && fold_down(c) == here->value; break;
            case OP_ANY: taken = *at != '\0' && c != '\n'; break;
            default:  // OP_CLASS
                taken = *at != '\0' && class_matches(program, here->value, c);
                break;
            }
            if (taken)
                thread_add(program, next, step + 1, now->pc[i] + 1, text, after);
        }
        if (*at == '\0')
            return false;
        Threads *swap = now;
        now = next;
        next = swap;
        at = after;
    }
}

size_t text_character_length(const char *text)
{
    if (*text == '\0')
        return 0;
    const char *after = text;
    return char_take(&after, true) >= RAW_BYTE ? 0 : static_cast<size_t>(after - text);
}

bool pattern_search(const char *pattern, const char *text, bool utf8)
{
    static Program program;
    return pattern_compile(&program, pattern, utf8) == 0 && pattern_run(&program, text);
}

int name_compare(const char *a, const char *b)
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

bool name_has_scheme(const char *name, const char *scheme)
{
    for (size_t i = 0; scheme[i] != '\0'; i++) {
        char c = name[i] >= 'A' && name[i] <= 'Z' ? static_cast<char>(name[i] - 'A' + 'a') : name[i];
        if (c != scheme[i])
            return false;
    }
    return true;
}
