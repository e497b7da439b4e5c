// The argument text the host start-up code builds from main's arguments.
#include <gtest/gtest.h>

#include "common/text.h"
#include "start/args.h"

#include <vector>

namespace {

struct Case {
    const char* why;
    std::vector<const char*> argv; // without the program name
    std::string expected;          // UTF-8
};

const Case kCases[] = {
    {"no arguments: empty", {}, ""},
    {"arguments joined by single spaces", {"-Slient", "myhost", "me"}, "-Slient myhost me"},
    {"one argument keeps its inner spaces", {"-Slient  myhost"}, "-Slient  myhost"},
    {"leading blanks are skipped", {"  \t myhost"}, "myhost"},
    {"an empty first argument leaves no leading space", {"", "x"}, "x"},
    {"control characters at the start are skipped",
     {"\x01\x1f"
      "a"},
     "a"},
    {"trailing spaces stay", {"a", ""}, "a "},
    {"UTF-8 is decoded", {"主机"}, "主机"},
    {"an invalid byte becomes U+FFFD",
     {"a\xff"
      "b"},
     "a\xEF\xBF\xBD"
     "b"},
    {"a truncated sequence becomes U+FFFD", {"\xE4\xB8"}, "\xEF\xBF\xBD\xEF\xBF\xBD"},
    {"an encoded surrogate is rejected", {"\xED\xA0\x80"}, "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
    {"a character beyond the BMP survives", {"\xF0\x9F\x98\x80"}, "\xF0\x9F\x98\x80"},
};

TEST(ArgumentText, Table) {
    for (const Case& c : kCases) {
        std::vector<const char*> argv = {"tovix"};
        argv.insert(argv.end(), c.argv.begin(), c.argv.end());
        std::u16string text = tovix::ArgumentText(static_cast<int>(argv.size()), argv.data());
        EXPECT_EQ(tovix::Utf16ToUtf8(text), c.expected) << c.why;
    }
}

TEST(ArgumentText, SurrogatePairForAstralCharacters) {
    const char* argv[] = {"tovix", "\xF0\x9F\x98\x80"};
    std::u16string text = tovix::ArgumentText(2, argv);
    ASSERT_EQ(text.size(), 2u);
    EXPECT_EQ(text[0], 0xD83D);
    EXPECT_EQ(text[1], 0xDE00);
}

} // namespace
