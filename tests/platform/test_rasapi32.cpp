// The host rasapi32 against real phonebook files and a fake pppd.
#include <gtest/gtest.h>

#include <ras.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "text.h"

using testing_text::U16;
using testing_text::U8;
using testing_text::W;

namespace {

class Rasapi32 : public ::testing::Test {
  protected:
    void SetUp() override {
        char dir[] = "/tmp/tovix-ras-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
        book_ = dir_ + "/rasphone.pbk";
        log_ = dir_ + "/pppd.log";
        setenv("TOVIX_PHONEBOOK", book_.c_str(), 1);
        setenv("FAKE_PPPD_LOG", log_.c_str(), 1);
        const char* fake = std::getenv("TOVIX_TEST_FAKE_PPPD");
        ASSERT_NE(fake, nullptr) << "the test needs TOVIX_TEST_FAKE_PPPD";
        setenv("TOVIX_PPPD", fake, 1);
    }
    void TearDown() override {
        std::remove(book_.c_str());
        std::remove(log_.c_str());
        rmdir(dir_.c_str());
        unsetenv("TOVIX_PHONEBOOK");
    }
    void Write(const std::string& text) { std::ofstream(book_, std::ios::binary) << text; }
    std::string Log() {
        std::ifstream in(log_);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    std::vector<std::string> Enumerate(DWORD* result) {
        RASENTRYNAMEW entries[4] = {};
        entries[0].dwSize = sizeof(RASENTRYNAMEW);
        DWORD size = sizeof(entries);
        DWORD count = 0;
        *result = RasEnumEntriesW(nullptr, nullptr, entries, &size, &count);
        std::vector<std::string> names;
        for (DWORD i = 0; *result == 0 && i < count; ++i) {
            names.push_back(U8(entries[i].szEntryName));
        }
        return names;
    }
    DWORD Dial(const std::string& name) {
        RASDIALPARAMSW params = {};
        params.dwSize = sizeof(params);
        std::u16string n = U16(name);
        lstrcpynW(params.szEntryName, W(n), RAS_MaxEntryName + 1);
        HRASCONN conn = nullptr;
        DWORD r = RasDialW(nullptr, nullptr, &params, 0, nullptr, &conn);
        EXPECT_EQ(r == 0, conn != nullptr) << "a handle exactly when the dial succeeds";
        return r;
    }
    std::string dir_, book_, log_;
};

TEST_F(Rasapi32, MissingFileIsAnEmptyPhonebook) {
    DWORD r = 1;
    EXPECT_EQ(Enumerate(&r), std::vector<std::string>{});
    EXPECT_EQ(r, 0u);
}

TEST_F(Rasapi32, SectionsInFileOrderWithTheirOptions) {
    Write("\xEF\xBB\xBF[Work]\r\nPreviewUserPw=1\r\nPhoneNumber=555\r\n\r\n; a comment\n"
          "[家里 拨号]\nPreviewUserPw=0\n[Work]\nPreviewUserPw=0\n[]\n[Broken\nkey=value\n");
    DWORD r = 1;
    EXPECT_EQ(Enumerate(&r), (std::vector<std::string>{"Work", "家里 拨号"}));
    EXPECT_EQ(r, 0u);

    struct {
        const char* name;
        DWORD expectResult;
        DWORD expectOptions;
    } rows[] = {
        {"Work", 0, RASEO_PreviewUserPw},
        {"家里 拨号", 0, 0},
        {"Nope", ERROR_CANNOT_FIND_PHONEBOOK_ENTRY, 0},
    };
    for (const auto& row : rows) {
        RASENTRYW entry = {};
        entry.dwSize = sizeof(entry);
        DWORD size = sizeof(entry);
        std::u16string name = U16(row.name);
        EXPECT_EQ(RasGetEntryPropertiesW(nullptr, W(name), &entry, &size, nullptr, nullptr),
                  row.expectResult)
            << row.name;
        EXPECT_EQ(entry.dwfOptions, row.expectOptions) << row.name;
    }
}

TEST_F(Rasapi32, EnumerationHonoursTheCallersBuffer) {
    Write("[a]\n[b]\n[c]\n");
    RASENTRYNAMEW entries[2] = {};
    entries[0].dwSize = sizeof(RASENTRYNAMEW);
    DWORD size = sizeof(entries);
    DWORD count = 0;
    EXPECT_EQ(RasEnumEntriesW(nullptr, nullptr, entries, &size, &count),
              static_cast<DWORD>(ERROR_BUFFER_TOO_SMALL));
    EXPECT_EQ(size, 3 * sizeof(RASENTRYNAMEW)) << "the size needed";
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(entries[1].szEntryName[0], 0) << "nothing written when it does not fit";

    entries[0].dwSize = 12;
    size = sizeof(entries);
    EXPECT_EQ(RasEnumEntriesW(nullptr, nullptr, entries, &size, &count),
              static_cast<DWORD>(ERROR_INVALID_SIZE));
}

TEST_F(Rasapi32, DialRunsPppdPerEntryAndReportsItsStatus) {
    Write("[Home]\n[Work Link]\n[Bad]\n");
    setenv("FAKE_PPPD_EXIT_Bad", "8", 1);
    EXPECT_EQ(Dial("Home"), 0u);
    EXPECT_EQ(Dial("Work Link"), 0u);
    EXPECT_NE(Dial("Bad"), 0u);
    unsetenv("FAKE_PPPD_EXIT_Bad");
    EXPECT_EQ(Log(), "call Home updetach\ncall Work Link updetach\ncall Bad updetach\n")
        << "each name reaches pppd as one argument, without a shell";
}

TEST_F(Rasapi32, DialRefusesUnknownAndPathLikeNames) {
    Write("[../../etc/evil]\n[.hidden]\n");
    EXPECT_EQ(Dial("Nope"), static_cast<DWORD>(ERROR_CANNOT_FIND_PHONEBOOK_ENTRY));
    EXPECT_EQ(Dial("../../etc/evil"), static_cast<DWORD>(ERROR_CANNOT_FIND_PHONEBOOK_ENTRY));
    EXPECT_EQ(Dial(".hidden"), static_cast<DWORD>(ERROR_CANNOT_FIND_PHONEBOOK_ENTRY));
    EXPECT_EQ(Log(), "") << "pppd never ran";
}

TEST_F(Rasapi32, DialFailsCleanlyWhenPppdIsMissing) {
    Write("[Home]\n");
    setenv("TOVIX_PPPD", "/nonexistent/pppd", 1);
    EXPECT_NE(Dial("Home"), 0u);
}

TEST_F(Rasapi32, DialParametersForAnExistingEntry) {
    Write("[Home]\nPhoneNumber=12345\nUser=alice\n");
    RASDIALPARAMSW params = {};
    params.dwSize = sizeof(params);
    lstrcpyW(params.szEntryName, L"Home");
    BOOL saved = TRUE;
    EXPECT_EQ(RasGetEntryDialParamsW(nullptr, &params, &saved), 0u);
    EXPECT_EQ(U8(params.szPhoneNumber), "12345");
    EXPECT_EQ(U8(params.szUserName), "alice");
    EXPECT_FALSE(saved);
    lstrcpyW(params.szEntryName, L"Other");
    EXPECT_EQ(RasGetEntryDialParamsW(nullptr, &params, &saved),
              static_cast<DWORD>(ERROR_CANNOT_FIND_PHONEBOOK_ENTRY));
    params.dwSize = 4;
    EXPECT_EQ(RasGetEntryDialParamsW(nullptr, &params, &saved),
              static_cast<DWORD>(ERROR_INVALID_SIZE));
}

} // namespace
