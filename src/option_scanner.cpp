#include "option_scanner.h"

#include <cstdio>
#include <cstring>

int32_t option_index = 0;
const char *option_cursor = nullptr;
const char *option_argument = nullptr;
int32_t option_letter = 0;
int32_t option_report = 1;

static bool word_in_progress()
{
    return option_cursor != nullptr && *option_cursor != '\0';
}

// Moves on to the next word; returns false when it is not an option word.
static bool word_begin(int argc, const char *const argv[])
{
    if (option_index == 0)
        option_index = 1;  // the program name is never an option
    if (option_index >= argc)
        return false;
    const char *word = argv[option_index];
    if (word[0] != '-' || word[1] == '\0')
        return false;
    if (strcmp(word, "--") == 0) {
        option_index++;
        return false;
    }
    option_cursor = word + 1;
    option_index++;
    return true;
}

int option_next(int argc, char *const argv[], const char *description)
{
    option_argument = nullptr;
    if (!word_in_progress() && !word_begin(argc, argv))
        return -1;

    // Widen through signed char so that bytes of 0x80 and above come out
    // negative and can never match a description letter.
    // NOLINTNEXTLINE(bugprone-signed-char-misuse,cert-str34-c)
    option_letter = static_cast<signed char>(*option_cursor++);
    const char *found = option_letter == ':' || option_letter < 0
                            ? nullptr
                            : strchr(description, option_letter);
    if (found == nullptr) {
        if (option_report)
            fprintf(stderr, "%s: unknown option -%c\n", argv[0], option_letter);
        return '?';
    }
    if (found[1] != ':')
        return option_letter;

    if (*option_cursor != '\0') {
        option_argument = option_cursor;
        option_cursor = nullptr;
        return option_letter;
    }
    if (option_index < argc) {
        option_argument = argv[option_index++];
        return option_letter;
    }
    if (option_report)
        fprintf(stderr, "%s: -%c argument missing\n", argv[0], option_letter);
    return '?';
}
