// The option scanner against the behaviours of the classic single-letter
// style, one table row per command line.
#include "option_scanner.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace {

struct Step {
    int result;
    const char *argument;  // nullptr: no argument expected
};

struct ScanCase {
    const char *name;
    std::vector<std::string> words;  // without the program name
    std::vector<Step> steps;         // every call up to and including -1
    int final_index;
};

void PrintTo(const ScanCase &scan, std::ostream *out)
{
    *out << scan.name;
}

const char *const DESCRIPTION = "DRdp:qv";

const ScanCase CASES[] = {
    {"no words", {}, {{-1, nullptr}}, 1},
    {"letters share a word", {"-dv"}, {{'d', nullptr}, {'v', nullptr}, {-1, nullptr}}, 2},
    {"unknown letter after a known one", {"-vx"}, {{'v', nullptr}, {'?', nullptr}, {-1, nullptr}}, 2},
    {"argument in the same word", {"-pCOM2"}, {{'p', "COM2"}, {-1, nullptr}}, 2},
    {"argument in the next word", {"-p", "COM2", "5"}, {{'p', "COM2"}, {-1, nullptr}}, 3},
    {"letters then argument", {"-dpCOM2"}, {{'d', nullptr}, {'p', "COM2"}, {-1, nullptr}}, 2},
    {"argument that looks like a letter", {"-pd"}, {{'p', "d"}, {-1, nullptr}}, 2},
    {"argument that looks like an option", {"-p", "-d"}, {{'p', "-d"}, {-1, nullptr}}, 3},
    {"argument missing", {"-p"}, {{'?', nullptr}, {-1, nullptr}}, 2},
    {"colon is never a letter", {"-:"}, {{'?', nullptr}, {-1, nullptr}}, 2},
    {"lone dash stays", {"-", "-v"}, {{-1, nullptr}}, 1},
    {"double dash is consumed", {"--", "-v"}, {{-1, nullptr}}, 2},
    {"--x is a dash letter", {"--x"}, {{'?', nullptr}, {'?', nullptr}, {-1, nullptr}}, 2},
    {"scan stops at a word", {"5", "-v"}, {{-1, nullptr}}, 1},
    {"options then a word", {"-D", "-R", "3"}, {{'D', nullptr}, {'R', nullptr}, {-1, nullptr}}, 3},
    {"high byte never matches", {"-\xe9v"}, {{'?', nullptr}, {'v', nullptr}, {-1, nullptr}}, 2},
};

class OptionScanner : public testing::TestWithParam<ScanCase> {
protected:
    void SetUp() override
    {
        option_index = 0;
        option_cursor = nullptr;
        option_argument = nullptr;
        option_letter = 0;
        option_report = 0;
    }
};

TEST_P(OptionScanner, ReturnsEachLetterInTurn)
{
    const ScanCase &scan = GetParam();
    std::vector<std::string> storage = {"kovex"};
    storage.insert(storage.end(), scan.words.begin(), scan.words.end());
    std::vector<char *> argv;
    for (std::string &word : storage)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    int argc = static_cast<int>(storage.size());

    for (size_t i = 0; i < scan.steps.size(); i++) {
        SCOPED_TRACE("call " + std::to_string(i + 1));
        EXPECT_EQ(option_next(argc, argv.data(), DESCRIPTION), scan.steps[i].result);
        if (scan.steps[i].argument == nullptr) {
            EXPECT_EQ(option_argument, nullptr);
        } else {
            ASSERT_NE(option_argument, nullptr);
            EXPECT_STREQ(option_argument, scan.steps[i].argument);
        }
    }
    EXPECT_EQ(option_index, scan.final_index);
}

INSTANTIATE_TEST_SUITE_P(Table, OptionScanner, testing::ValuesIn(CASES),
                         [](const testing::TestParamInfo<ScanCase> &info) {
                             std::string name = info.param.name;
                             for (char &c : name)
                                 if (!isalnum(static_cast<unsigned char>(c)))
                                     c = '_';
                             return name;
                         });

TEST(OptionScannerLetter, HighByteIsWidenedWithItsSign)
{
    char program[] = "kovex", word[] = "-\xe9";
    char *argv[] = {program, word, nullptr};
    option_index = 0;
    option_cursor = nullptr;
    option_report = 0;
    EXPECT_EQ(option_next(2, argv, DESCRIPTION), '?');
    EXPECT_EQ(option_letter, static_cast<signed char>('\xe9'));
    EXPECT_LT(option_letter, 0);
}

TEST(OptionScannerReport, DiagnosticsNameTheProgram)
{
    char program[] = "prog", word[] = "-x", p[] = "-p";
    char *argv[] = {program, word, p, nullptr};
    option_index = 0;
    option_cursor = nullptr;
    option_report = 1;
    testing::internal::CaptureStderr();
    EXPECT_EQ(option_next(3, argv, DESCRIPTION), '?');
    EXPECT_EQ(option_next(3, argv, DESCRIPTION), '?');
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "prog: unknown option -x\nprog: -p argument missing\n");
}

}  // namespace
