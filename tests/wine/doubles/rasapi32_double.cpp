/*
 * Test double of rasapi32.dll for running the real Tovix.exe under Wine,
 * whose own rasapi32 knows no phonebook. Provides the four calls Tovix
 * makes: RasEnumEntriesW, RasGetEntryPropertiesW, RasGetEntryDialParamsW and
 * RasDialW. Each call is logged with its arguments and checked for the
 * Windows XP record sizes; dialling only pretends to connect.
 */
#include <windows.h>
#include <ras.h>
#include <raserror.h>

#include "double_support.h"

static_assert(sizeof(RASENTRYNAMEW) == XP_RASENTRYNAMEW_SIZE, "built for the XP records");
static_assert(sizeof(RASENTRYW) == XP_RASENTRYW_SIZE, "built for the XP records");
static_assert(sizeof(RASDIALPARAMSW) == XP_RASDIALPARAMSW_SIZE, "built for the XP records");

// The buffer Tovix passes: 32 entry-name records.
#define EXPECTED_ENUM_BUFFER (32 * XP_RASENTRYNAMEW_SIZE)

static std::string Pointer(const void* pointer) {
    return pointer ? "set" : "null";
}

static bool AllZero(const void* data, size_t from, size_t to) {
    const BYTE* bytes = static_cast<const BYTE*>(data);
    for (size_t i = from; i < to; ++i) {
        if (bytes[i] != 0) {
            return false;
        }
    }
    return true;
}

extern "C" DWORD WINAPI RasEnumEntriesW(LPCWSTR reserved, LPCWSTR phonebook,
                                        LPRASENTRYNAMEW entries, LPDWORD bufferSize,
                                        LPDWORD count) {
    const char* call = "RasEnumEntriesW";
    if (!entries || !bufferSize || !count) {
        LogLine(Format("%s entries=%s cb=%s count=%s -> 87", call, Pointer(entries).c_str(),
                       Pointer(bufferSize).c_str(), Pointer(count).c_str()));
        return ERROR_INVALID_PARAMETER;
    }
    DWORD given = *bufferSize;
    CheckSize(call, "cb", given, EXPECTED_ENUM_BUFFER);
    if (!CheckSize(call, "entries[0].dwSize", entries[0].dwSize, XP_RASENTRYNAMEW_SIZE)) {
        LogLine(Format("%s reserved=%s phonebook=%s cb=%lu -> 632", call, Utf8(reserved).c_str(),
                       Utf8(phonebook).c_str(), static_cast<unsigned long>(given)));
        return ERROR_INVALID_SIZE;
    }
    DWORD capacity = given / XP_RASENTRYNAMEW_SIZE;
    DWORD checked = 0;
    for (DWORD i = 0; i < capacity; ++i) {
        char what[64];
        wsprintfA(what, "entries[%lu].dwSize", static_cast<unsigned long>(i));
        if (CheckSize(call, what, entries[i].dwSize, XP_RASENTRYNAMEW_SIZE)) {
            ++checked;
        }
    }

    std::vector<PhonebookEntry> book = ReadPhonebook();
    DWORD needed = static_cast<DWORD>(book.size()) * XP_RASENTRYNAMEW_SIZE;
    DWORD result = 0;
    if (book.size() > capacity) {
        result = ERROR_BUFFER_TOO_SMALL;
    } else {
        for (size_t i = 0; i < book.size(); ++i) {
            lstrcpynW(entries[i].szEntryName, book[i].name.c_str(), RAS_MaxEntryName + 1);
            entries[i].dwFlags = REN_AllUsers;
            entries[i].szPhonebookPath[0] = L'\0';
        }
    }
    *bufferSize = needed;
    *count = static_cast<DWORD>(book.size());
    LogLine(Format("%s reserved=%s phonebook=%s cb=%lu elements=%lu sized-ok=%lu -> %lu "
                   "count=%lu cb-out=%lu %s",
                   call, Utf8(reserved).c_str(), Utf8(phonebook).c_str(),
                   static_cast<unsigned long>(given), static_cast<unsigned long>(capacity),
                   static_cast<unsigned long>(checked), static_cast<unsigned long>(result),
                   static_cast<unsigned long>(*count), static_cast<unsigned long>(needed),
                   TickField().c_str()));
    return result;
}

extern "C" DWORD WINAPI RasGetEntryPropertiesW(LPCWSTR phonebook, LPCWSTR entryName,
                                               LPRASENTRYW entry, LPDWORD entrySize,
                                               LPBYTE deviceInfo, LPDWORD deviceInfoSize) {
    const char* call = "RasGetEntryPropertiesW";
    if (!entry || !entrySize) {
        LogLine(Format("%s entry=%s record=%s cb=%s -> 87", call, Utf8(entryName).c_str(),
                       Pointer(entry).c_str(), Pointer(entrySize).c_str()));
        return ERROR_INVALID_PARAMETER;
    }
    DWORD given = *entrySize;
    CheckSize(call, "cb", given, XP_RASENTRYW_SIZE);
    bool sizeOk = CheckSize(call, "dwSize", entry->dwSize, XP_RASENTRYW_SIZE);
    bool zeroed = sizeOk && AllZero(entry, sizeof(DWORD), XP_RASENTRYW_SIZE);

    std::vector<PhonebookEntry> book = ReadPhonebook();
    const PhonebookEntry* found = FindEntry(book, entryName);
    DWORD result = 0;
    if (!sizeOk) {
        result = ERROR_INVALID_SIZE;
    } else if (!found) {
        result = ERROR_CANNOT_FIND_PHONEBOOK_ENTRY;
    } else if (found->failProperties) {
        result = ERROR_CANNOT_OPEN_PHONEBOOK;
    } else {
        entry->dwfOptions = found->options;
        entry->dwfNetProtocols = RASNP_Ip;
        entry->dwFramingProtocol = RASFP_Ppp;
        lstrcpyW(entry->szDeviceType, RASDT_Modem);
        lstrcpyW(entry->szLocalPhoneNumber, L"555-0100");
    }
    LogLine(Format("%s phonebook=%s entry=%s size=%lu cb=%lu zeroed=%d devinfo=%s "
                   "devinfo-cb=%s -> %lu options=0x%08lX %s",
                   call, Utf8(phonebook).c_str(), Utf8(entryName).c_str(),
                   static_cast<unsigned long>(entry->dwSize), static_cast<unsigned long>(given),
                   zeroed ? 1 : 0, Pointer(deviceInfo).c_str(), Pointer(deviceInfoSize).c_str(),
                   static_cast<unsigned long>(result),
                   static_cast<unsigned long>(result == 0 ? found->options : 0),
                   TickField().c_str()));
    return result;
}

extern "C" DWORD WINAPI RasGetEntryDialParamsW(LPCWSTR phonebook, LPRASDIALPARAMSW params,
                                               LPBOOL passwordSaved) {
    const char* call = "RasGetEntryDialParamsW";
    if (!params) {
        LogLine(Format("%s params=null -> 87", call));
        return ERROR_INVALID_PARAMETER;
    }
    bool sizeOk = CheckSize(call, "dwSize", params->dwSize, XP_RASDIALPARAMSW_SIZE);
    std::string name = sizeOk ? Utf8(params->szEntryName) : std::string("?");
    std::vector<PhonebookEntry> book = ReadPhonebook();
    const PhonebookEntry* found = sizeOk ? FindEntry(book, params->szEntryName) : NULL;
    DWORD result = 0;
    if (!sizeOk) {
        result = ERROR_INVALID_SIZE;
    } else if (!found) {
        result = ERROR_CANNOT_FIND_PHONEBOOK_ENTRY;
    } else if (found->failDialParams) {
        result = ERROR_CANNOT_OPEN_PHONEBOOK;
    } else {
        // Saved credentials the dial must carry on unchanged.
        std::wstring user = L"user-" + found->name;
        std::wstring password = L"pw-" + found->name;
        lstrcpynW(params->szUserName, user.c_str(), UNLEN + 1);
        lstrcpynW(params->szPassword, password.c_str(), PWLEN + 1);
        if (passwordSaved) {
            *passwordSaved = TRUE;
        }
    }
    LogLine(Format("%s phonebook=%s entry=%s size=%lu saved-flag=%s -> %lu %s", call,
                   Utf8(phonebook).c_str(), name.c_str(),
                   static_cast<unsigned long>(params->dwSize), Pointer(passwordSaved).c_str(),
                   static_cast<unsigned long>(result), TickField().c_str()));
    return result;
}

extern "C" DWORD WINAPI RasDialW(LPRASDIALEXTENSIONS extensions, LPCWSTR phonebook,
                                 LPRASDIALPARAMSW params, DWORD notifierType, LPVOID notifier,
                                 LPHRASCONN connection) {
    const char* call = "RasDialW";
    if (!params || !connection) {
        LogLine(Format("%s params=%s connection=%s -> 87", call, Pointer(params).c_str(),
                       Pointer(connection).c_str()));
        return ERROR_INVALID_PARAMETER;
    }
    bool sizeOk = CheckSize(call, "dwSize", params->dwSize, XP_RASDIALPARAMSW_SIZE);
    std::string name = sizeOk ? Utf8(params->szEntryName) : std::string("?");
    std::string user = sizeOk ? Utf8(params->szUserName) : std::string("?");
    std::string password = sizeOk ? Utf8(params->szPassword) : std::string("?");
    std::string connectionIn = Pointer(*connection);
    std::vector<PhonebookEntry> book = ReadPhonebook();
    const PhonebookEntry* found = sizeOk ? FindEntry(book, params->szEntryName) : NULL;
    DWORD result = 0;
    if (!sizeOk) {
        result = ERROR_INVALID_SIZE;
    } else if (!found) {
        result = ERROR_CANNOT_FIND_PHONEBOOK_ENTRY;
    } else if (found->failDial) {
        result = ERROR_NO_ANSWER;
    }
    // Windows hands out a handle even for a failed dial.
    if (sizeOk) {
        *connection = reinterpret_cast<HRASCONN>(static_cast<ULONG_PTR>(0x7100));
    }
    LogLine(Format("%s extensions=%s phonebook=%s entry=%s size=%lu user=%s password=%s "
                   "notifier-type=%lu notifier=%s connection-in=%s -> %lu %s",
                   call, Pointer(extensions).c_str(), Utf8(phonebook).c_str(), name.c_str(),
                   static_cast<unsigned long>(params->dwSize), user.c_str(), password.c_str(),
                   static_cast<unsigned long>(notifierType), Pointer(notifier).c_str(),
                   connectionIn.c_str(), static_cast<unsigned long>(result), TickField().c_str()));
    return result;
}
