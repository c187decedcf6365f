// Fuzzes the option scanner: the input is split at NUL bytes into argument
// words and scanned to the end with the program's option description.
#include "option_scanner.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

static const char DESCRIPTION[] = "DRdp:qv";

static bool inside_a_word(const char *p, const std::vector<char *> &argv, int argc)
{
    for (int i = 0; i < argc; i++)
        if (p >= argv[i] && p <= argv[i] + strlen(argv[i]))
            return true;
    return false;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::vector<std::string> words = {"kovex"};
    words.emplace_back();
    size_t letters = 0;
    for (size_t i = 0; i < size && words.size() < 256; i++) {
        if (data[i] == 0)
            words.emplace_back();
        else
            words.back() += static_cast<char>(data[i]);
    }
    std::vector<char *> argv;
    for (std::string &word : words) {
        argv.push_back(word.data());
        letters += word.size();
    }
    argv.push_back(nullptr);
    int argc = static_cast<int>(words.size());

    option_index = 0;
    option_cursor = nullptr;
    option_argument = nullptr;
    option_report = 0;
    size_t calls = 0;
    for (;;) {
        int result = option_next(argc, argv.data(), DESCRIPTION);
        calls++;
        if (calls > letters + words.size() + 1)
            abort();  // must end within one call per letter and word
        if (option_index < 0 || option_index > argc)
            abort();
        if (option_argument != nullptr && !inside_a_word(option_argument, argv, argc))
            abort();
        if (result == -1)
            break;
        if (result != '?' && (result == ':' || strchr(DESCRIPTION, result) == nullptr))
            abort();
    }
    if (option_index < 1)
        abort();
    return 0;
}
