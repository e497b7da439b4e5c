/*
 * rasapi32 for the host: enumeration, entry properties and dial parameters
 * from the host phonebook, and synchronous dialling through pppd.
 *
 * RasDialW runs "pppd call <entry> updetach" directly, without a shell (the
 * program is $TOVIX_PPPD when set). pppd returns once the link is up or has
 * failed, and leaves the link up. Its exit status gives the result.
 * Asynchronous dialling (a notifier), dial extensions and sub-entries are
 * left out. Entry names that could leave /etc/ppp/peers ('/' or a leading
 * '.') are refused.
 */
#include <ras.h>
#include "common/text.h"
#include "driver/driver.h"
#include "rasapi32/phonebook.h"

#include <atomic>

namespace {

std::atomic<uintptr_t> g_nextConnection{0x2000};

void CopyField(WCHAR* dst, const std::u16string& src, size_t capacity) {
    size_t n = src.size() < capacity - 1 ? src.size() : capacity - 1;
    for (size_t i = 0; i < n; ++i) {
        dst[i] = static_cast<WCHAR>(src[i]);
    }
    dst[n] = 0;
}

// pppd's exit status (or 128 plus the signal that ended it; -1 when it
// could not be started) as the nearest remote-access error.
DWORD DialError(int status) {
    if (status < 0) {
        return ERROR_PORT_NOT_AVAILABLE;
    }
    if (status > 128) {
        return ERROR_USER_DISCONNECTION;
    }
    switch (status) {
    case 0:
        return 0;
    case 19: // authentication failed
        return 691;
    case 127: // the program could not be run
        return ERROR_PORT_NOT_AVAILABLE;
    default:
        return 651; // the device reported an error
    }
}

} // namespace

DWORD RasEnumEntriesW(LPCWSTR reserved, LPCWSTR phonebook, LPRASENTRYNAMEW entries, LPDWORD size,
                      LPDWORD count) {
    if (reserved) {
        return ERROR_NOT_SUPPORTED;
    }
    if (!size || !count) {
        return ERROR_INVALID_PARAMETER;
    }
    if (entries && entries->dwSize != sizeof(RASENTRYNAMEW)) {
        return ERROR_INVALID_SIZE;
    }
    tovix::Phonebook book;
    if (DWORD error = tovix::LoadPhonebook(phonebook, &book)) {
        return error;
    }
    DWORD needed = static_cast<DWORD>(book.entries.size() * sizeof(RASENTRYNAMEW));
    *count = static_cast<DWORD>(book.entries.size());
    if (!entries || *size < needed) {
        *size = needed;
        return ERROR_BUFFER_TOO_SMALL;
    }
    std::u16string path = tovix::Utf8ToUtf16(book.path);
    for (size_t i = 0; i < book.entries.size(); ++i) {
        RASENTRYNAMEW& e = entries[i];
        e.dwSize = sizeof(RASENTRYNAMEW);
        CopyField(e.szEntryName, book.entries[i].name, RAS_MaxEntryName + 1);
        e.dwFlags = RASENTRYNAMEW_FLAGS_ALL_USERS;
        CopyField(e.szPhonebookPath, path, MAX_PATH + 1);
    }
    *size = needed;
    return 0;
}

DWORD RasGetEntryPropertiesW(LPCWSTR phonebook, LPCWSTR entryName, LPRASENTRYW entry,
                             LPDWORD entrySize, LPBYTE, LPDWORD deviceInfoSize) {
    if (!entrySize) {
        return ERROR_INVALID_PARAMETER;
    }
    if (!entry || *entrySize < sizeof(RASENTRYW)) {
        *entrySize = sizeof(RASENTRYW);
        return ERROR_BUFFER_TOO_SMALL;
    }
    if (entry->dwSize != sizeof(RASENTRYW)) {
        return ERROR_INVALID_SIZE;
    }
    tovix::Phonebook book;
    if (DWORD error = tovix::LoadPhonebook(phonebook, &book)) {
        return error;
    }
    const tovix::PhonebookEntry* found = tovix::FindEntry(book, entryName);
    if (!found) {
        return ERROR_CANNOT_FIND_PHONEBOOK_ENTRY;
    }
    ZeroMemory(entry, sizeof(RASENTRYW));
    entry->dwSize = sizeof(RASENTRYW);
    if (found->previewUserPw) {
        entry->dwfOptions |= RASEO_PreviewUserPw;
    }
    if (found->previewPhoneNumber) {
        entry->dwfOptions |= RASEO_PreviewPhoneNumber;
    }
    CopyField(entry->szLocalPhoneNumber, found->phoneNumber, RAS_MaxPhoneNumber + 1);
    CopyField(entry->szDeviceType, u"modem", RAS_MaxDeviceType + 1);
    CopyField(entry->szDeviceName, found->device, RAS_MaxDeviceName + 1);
    *entrySize = sizeof(RASENTRYW);
    if (deviceInfoSize) {
        *deviceInfoSize = 0;
    }
    return 0;
}

DWORD RasGetEntryDialParamsW(LPCWSTR phonebook, LPRASDIALPARAMSW params, LPBOOL passwordSaved) {
    if (!params || !passwordSaved) {
        return ERROR_INVALID_PARAMETER;
    }
    if (params->dwSize != sizeof(RASDIALPARAMSW)) {
        return ERROR_INVALID_SIZE;
    }
    tovix::Phonebook book;
    if (DWORD error = tovix::LoadPhonebook(phonebook, &book)) {
        return error;
    }
    const tovix::PhonebookEntry* found = tovix::FindEntry(book, params->szEntryName);
    if (!found) {
        return ERROR_CANNOT_FIND_PHONEBOOK_ENTRY;
    }
    // Credentials live in pppd's own secrets files; none are stored here.
    CopyField(params->szPhoneNumber, found->phoneNumber, RAS_MaxPhoneNumber + 1);
    params->szCallbackNumber[0] = 0;
    CopyField(params->szUserName, found->userName, UNLEN + 1);
    params->szPassword[0] = 0;
    params->szDomain[0] = 0;
    *passwordSaved = FALSE;
    return 0;
}

DWORD RasDialW(LPRASDIALEXTENSIONS, LPCWSTR phonebook, LPRASDIALPARAMSW params, DWORD notifierType,
               LPVOID notifier, LPHRASCONN connection) {
    if (!params || !connection) {
        return ERROR_INVALID_PARAMETER;
    }
    if (params->dwSize != sizeof(RASDIALPARAMSW)) {
        return ERROR_INVALID_SIZE;
    }
    if (notifier || notifierType != 0) {
        return ERROR_NOT_SUPPORTED; // only synchronous dialling
    }
    tovix::Phonebook book;
    if (DWORD error = tovix::LoadPhonebook(phonebook, &book)) {
        return error;
    }
    const tovix::PhonebookEntry* found = tovix::FindEntry(book, params->szEntryName);
    std::string name = tovix::Utf16ToUtf8(params->szEntryName);
    if (!found || name.find('/') != std::string::npos || name[0] == '.') {
        return ERROR_CANNOT_FIND_PHONEBOOK_ENTRY;
    }

    int status =
        tovix::RunProgram({tovix::Environment("TOVIX_PPPD", "pppd"), "call", name, "updetach"});
    DWORD error = DialError(status);
    if (error == 0) {
        *connection = reinterpret_cast<HRASCONN>(g_nextConnection.fetch_add(4));
    }
    return error;
}
