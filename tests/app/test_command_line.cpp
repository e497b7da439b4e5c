// The command line: the silent switch in the first seven characters, then up
// to three space-separated words into host name, user name and password.
#include <gtest/gtest.h>

#include "app/settings.h"
#include "text.h"

using testing_text::U16;
using testing_text::U8;
using testing_text::W;

namespace {

const char* const kHost = "home.tovix.example";
const char* const kUser = "tovix";
const char* const kPass = "KoReL52";

struct Case {
    const char* why;
    std::string args; // UTF-8 argument text
    bool silent;
    std::string host, user, password;
};

void ResetSettings() {
    lstrcpyW(UpdateSettings.szHostName, DEFAULT_HOST_NAME);
    lstrcpyW(UpdateSettings.szUserName, DEFAULT_USER_NAME);
    lstrcpyW(UpdateSettings.szPassword, DEFAULT_PASSWORD);
}

const std::string k40(40, 'a');
const std::string k31(31, 'a');
const std::string k32(32, 'b');

const Case kCases[] = {
    {"empty: interactive, all defaults", "", false, kHost, kUser, kPass},
    {"one word sets the host name", "myhost", false, "myhost", kUser, kPass},
    {"three words", "h.example u p", false, "h.example", "u", "p"},
    {"four words: the rest is ignored", "a b c d e", false, "a", "b", "c"},
    {"silent with two words", "-Slient myhost me", true, "myhost", "me", kPass},
    {"silent alone", "-Slient", true, kHost, kUser, kPass},
    {"silent, then one space only", "-Slient ", true, kHost, kUser, kPass},
    {"silent with two spaces: empty host name", "-Slient  myhost", true, "", "myhost", kPass},
    {"lower case switch", "-slient x", true, "x", kUser, kPass},
    {"upper case switch", "-SLIENT x y z", true, "x", "y", "z"},
    {"switch glued to X: the X is skipped with the space", "-slientX myhost", true, "", "myhost",
     kPass},
    {"switch glued to a word loses one character", "-Slienthost.example", true, "ost.example",
     kUser, kPass},
    {"correct spelling is not the switch", "-Silent myhost", false, "-Silent", "myhost", kPass},
    {"switch not at the start", "myhost -Slient", false, "myhost", "-Slient", kPass},
    {"a six-character prefix is not the switch", "-Slien", false, "-Slien", kUser, kPass},
    {"two spaces between two words: empty user", "myhost  secret", false, "myhost", "", "secret"},
    {"trailing space keeps the password default", "myhost me ", false, "myhost", "me", kPass},
    {"three spaces: all three fields empty", "   ", false, "", "", ""},
    {"a word of 40 characters is cut to 31", k40, false, k31, kUser, kPass},
    {"a long word followed by a space is cut too", k40 + " u", false, k31, "u", kPass},
    {"32 characters in the last field", "h u " + k32, false, "h", "u", k32.substr(0, 31)},
    {"a tab does not separate words", "my\thost me", false, "my\thost", "me", kPass},
    {"quotes have no meaning", "\"a b\" c", false, "\"a", "b\"", "c"},
    {"values are taken as they stand", "H@st p:ss&x pw/d", false, "H@st", "p:ss&x", "pw/d"},
    {"non-ASCII text", "主机.example 用户 密码", false, "主机.example", "用户", "密码"},
};

class CommandLine : public ::testing::TestWithParam<Case> {};

TEST_P(CommandLine, FillsSettings) {
    const Case& c = GetParam();
    ResetSettings();
    std::u16string args = U16(c.args);
    BOOL silent = ParseCommandLine(W(args));
    EXPECT_EQ(silent != FALSE, c.silent) << c.why;
    EXPECT_EQ(U8(UpdateSettings.szHostName), c.host) << c.why;
    EXPECT_EQ(U8(UpdateSettings.szUserName), c.user) << c.why;
    EXPECT_EQ(U8(UpdateSettings.szPassword), c.password) << c.why;
    EXPECT_EQ(U8(W(args)), c.args) << "the argument text must not be modified";
}

INSTANTIATE_TEST_SUITE_P(Table, CommandLine, ::testing::ValuesIn(kCases));

TEST(CommandLineRecord, FieldsHoldThirtyTwoUnitsInOrder) {
    static_assert(sizeof(UpdateSettings.szHostName) == 32 * sizeof(WCHAR), "host name field");
    static_assert(offsetof(UPDATE_SETTINGS, szUserName) == 32 * sizeof(WCHAR), "user after host");
    static_assert(offsetof(UPDATE_SETTINGS, szPassword) == 64 * sizeof(WCHAR), "password last");
    ResetSettings();
    EXPECT_EQ(U8(UpdateSettings.szHostName), kHost);
}

TEST(CommandLineRecord, NullArgumentTextIsEmpty) {
    ResetSettings();
    EXPECT_FALSE(ParseCommandLine(nullptr));
    EXPECT_EQ(U8(UpdateSettings.szHostName), kHost);
}

} // namespace
