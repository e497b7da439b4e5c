// DialPhonebookEntries and DialEntrySilently against a scripted phonebook.
// The double records every remote-access call with the arguments that
// matter, so each case compares the whole call sequence with a table.
#include <gtest/gtest.h>

#include <ras.h>
#include <rasdlg.h>

#include <string>
#include <vector>

#include "dialer/dialer.h"
#include "text.h"

using testing_text::U16;
using testing_text::U8;

namespace {

struct FakeEntry {
    std::string name;
    DWORD options;
    bool propertiesFail;
    bool paramsFail;
};

std::vector<FakeEntry> g_book;
std::vector<std::string> g_calls;
std::vector<std::string> g_faults; // record-size or zero-fill problems seen

const FakeEntry* Find(LPCWSTR name) {
    for (const FakeEntry& e : g_book) {
        if (e.name == U8(name)) {
            return &e;
        }
    }
    return nullptr;
}

bool AllZero(const void* p, size_t from, size_t to) {
    const unsigned char* b = static_cast<const unsigned char*>(p);
    for (size_t i = from; i < to; ++i) {
        if (b[i]) {
            return false;
        }
    }
    return true;
}

} // namespace

DWORD RasEnumEntriesW(LPCWSTR reserved, LPCWSTR phonebook, LPRASENTRYNAMEW entries, LPDWORD size,
                      LPDWORD count) {
    g_calls.push_back("enum " + std::to_string(*size));
    if (reserved || phonebook) {
        g_faults.push_back("enum: reserved and phonebook must be null");
    }
    for (DWORD i = 0; i < *size / sizeof(RASENTRYNAMEW); ++i) {
        if (entries[i].dwSize != sizeof(RASENTRYNAMEW)) {
            g_faults.push_back("enum: element " + std::to_string(i) + " has a wrong size field");
        }
    }
    DWORD needed = static_cast<DWORD>(g_book.size() * sizeof(RASENTRYNAMEW));
    *count = static_cast<DWORD>(g_book.size());
    if (*size < needed) {
        *size = needed;
        return ERROR_BUFFER_TOO_SMALL;
    }
    for (size_t i = 0; i < g_book.size(); ++i) {
        std::u16string name = U16(g_book[i].name);
        for (size_t k = 0; k <= name.size(); ++k) {
            entries[i].szEntryName[k] = static_cast<WCHAR>(name.c_str()[k]);
        }
        // Garbage the program must not read.
        entries[i].dwFlags = 0xDEADBEEF;
    }
    return 0;
}

DWORD RasGetEntryPropertiesW(LPCWSTR phonebook, LPCWSTR name, LPRASENTRYW entry, LPDWORD size,
                             LPBYTE deviceInfo, LPDWORD deviceInfoSize) {
    g_calls.push_back("properties " + U8(name));
    if (phonebook || deviceInfo || deviceInfoSize) {
        g_faults.push_back("properties: phonebook and device information must be null");
    }
    if (entry->dwSize != sizeof(RASENTRYW) || *size != sizeof(RASENTRYW) ||
        !AllZero(entry, sizeof(DWORD), sizeof(RASENTRYW))) {
        g_faults.push_back("properties: record not sized and zero-filled");
    }
    const FakeEntry* e = Find(name);
    if (!e) {
        return ERROR_CANNOT_FIND_PHONEBOOK_ENTRY;
    }
    if (e->propertiesFail) {
        return ERROR_CANNOT_LOAD_PHONEBOOK;
    }
    entry->dwfOptions = e->options;
    return 0;
}

DWORD RasGetEntryDialParamsW(LPCWSTR phonebook, LPRASDIALPARAMSW params, LPBOOL passwordSaved) {
    g_calls.push_back("params " + U8(params->szEntryName));
    if (phonebook || !passwordSaved) {
        g_faults.push_back("params: phonebook must be null and the flag given");
    }
    size_t nameEnd = offsetof(RASDIALPARAMSW, szEntryName) +
                     (U16(U8(params->szEntryName)).size() + 1) * sizeof(WCHAR);
    if (params->dwSize != sizeof(RASDIALPARAMSW) ||
        !AllZero(params, nameEnd, sizeof(RASDIALPARAMSW))) {
        g_faults.push_back("params: record not sized and zero-filled");
    }
    const FakeEntry* e = Find(params->szEntryName);
    if (!e || e->paramsFail) {
        return ERROR_CANNOT_FIND_PHONEBOOK_ENTRY;
    }
    // Saved parameters the program passes on unread.
    params->szPhoneNumber[0] = L'5';
    *passwordSaved = FALSE;
    return 0;
}

DWORD RasDialW(LPRASDIALEXTENSIONS extensions, LPCWSTR phonebook, LPRASDIALPARAMSW params,
               DWORD notifierType, LPVOID notifier, LPHRASCONN connection) {
    g_calls.push_back("dial " + U8(params->szEntryName));
    if (extensions || phonebook || notifierType != 0 || notifier || !connection ||
        *connection != nullptr || params->szPhoneNumber[0] != L'5') {
        g_faults.push_back("dial: must be synchronous, with the fetched parameters");
    }
    *connection = reinterpret_cast<HRASCONN>(1);
    return 651; // a failed dial must not stop the others
}

BOOL RasDialDlgW(LPWSTR phonebook, LPWSTR entry, LPWSTR phoneNumber, LPRASDIALDLG info) {
    g_calls.push_back("dialog " + U8(entry));
    if (phonebook || phoneNumber || info->dwSize != sizeof(RASDIALDLG) ||
        !AllZero(info, sizeof(DWORD), sizeof(RASDIALDLG))) {
        g_faults.push_back("dialog: record not sized and zero-filled, or extra arguments");
    }
    return FALSE;
}

namespace {

struct Case {
    const char* why;
    std::vector<FakeEntry> book;
    bool silent;
    std::vector<std::string> calls;
};

const std::string kEnum = "enum " + std::to_string(32 * sizeof(RASENTRYNAMEW));

std::vector<FakeEntry> Many(int n) {
    std::vector<FakeEntry> book;
    for (int i = 0; i < n; ++i) {
        book.push_back({"Link " + std::to_string(i), 0, false, false});
    }
    return book;
}

std::vector<Case> Cases() {
    std::vector<std::string> thirtyTwo = {kEnum};
    for (int i = 0; i < 32; ++i) {
        thirtyTwo.push_back("properties Link " + std::to_string(i));
        thirtyTwo.push_back("params Link " + std::to_string(i));
        thirtyTwo.push_back("dial Link " + std::to_string(i));
    }
    return {
        {"empty phonebook: nothing dialled", {}, true, {kEnum}},
        {"33 entries: the enumeration fails, nothing dialled", Many(33), true, {kEnum}},
        {"33 entries, interactive: no dialog", Many(33), false, {kEnum}},
        {"32 entries all fit and are dialled in order", Many(32), true, thirtyTwo},
        {"silent: two entries dialled in order",
         {{"Home", 0, false, false}, {"Work", 0, false, false}},
         true,
         {kEnum, "properties Home", "params Home", "dial Home", "properties Work", "params Work",
          "dial Work"}},
        {"interactive: one dialog per entry, in order",
         {{"Home", 0, false, false}, {"Work", 0, false, false}},
         false,
         {kEnum, "properties Home", "dialog Home", "properties Work", "dialog Work"}},
        {"an entry asking for credentials is skipped (silent)",
         {{"Ask", RASEO_PreviewUserPw, false, false}, {"Auto", 0, false, false}},
         true,
         {kEnum, "properties Ask", "properties Auto", "params Auto", "dial Auto"}},
        {"an entry asking for credentials is skipped (interactive)",
         {{"Ask", RASEO_PreviewUserPw | RASEO_ModemLights, false, false},
          {"Auto", RASEO_ModemLights, false, false}},
         false,
         {kEnum, "properties Ask", "properties Auto", "dialog Auto"}},
        {"failed dial-parameter fetch skips only that entry",
         {{"A", 0, false, false}, {"B", 0, false, true}, {"C", 0, false, false}},
         true,
         {kEnum, "properties A", "params A", "dial A", "properties B", "params B", "properties C",
          "params C", "dial C"}},
        {"failed property read counts as not asking: dialled",
         {{"NoProps", 0, true, false}},
         true,
         {kEnum, "properties NoProps", "params NoProps", "dial NoProps"}},
        {"failed property read, interactive: dialog shown",
         {{"NoProps", RASEO_PreviewUserPw, true, false}},
         false,
         {kEnum, "properties NoProps", "dialog NoProps"}},
        {"names with spaces and Chinese pass through",
         {{"拨号 连接", 0, false, false}},
         true,
         {kEnum, "properties 拨号 连接", "params 拨号 连接", "dial 拨号 连接"}},
    };
}

class Dialer : public ::testing::TestWithParam<Case> {};

TEST_P(Dialer, CallSequence) {
    const Case& c = GetParam();
    g_book = c.book;
    g_calls.clear();
    g_faults.clear();
    DialPhonebookEntries(c.silent);
    EXPECT_EQ(g_calls, c.calls) << c.why;
    EXPECT_EQ(g_faults, std::vector<std::string>{}) << c.why;
}

INSTANTIATE_TEST_SUITE_P(Table, Dialer, ::testing::ValuesIn(Cases()));

TEST(DialEntrySilently, DialsWithFetchedParameters) {
    g_book = {{"Solo", 0, false, false}};
    g_calls.clear();
    g_faults.clear();
    DialEntrySilently(L"Solo");
    EXPECT_EQ(g_calls, (std::vector<std::string>{"params Solo", "dial Solo"}));
    EXPECT_EQ(g_faults, std::vector<std::string>{});
}

TEST(DialEntrySilently, NoDialWhenParametersCannotBeFetched) {
    g_book = {{"Solo", 0, false, true}};
    g_calls.clear();
    DialEntrySilently(L"Solo");
    EXPECT_EQ(g_calls, (std::vector<std::string>{"params Solo"}));
}

TEST(DialerRecords, HostEntryNameRecordKeepsItsWindowsSize) {
    // The entry-name record has no pointer-sized field, so its size is the
    // same as on 32-bit Windows.
    EXPECT_EQ(sizeof(RASENTRYNAMEW), 1048u);
}

} // namespace
