/*
 * Phonebook dialer. Every failure here is silent: the update that follows
 * reports on its own whether the Internet can be reached. The records carry
 * their Windows XP sizes so that the calls work on every Windows version
 * from XP on.
 */
#include "dialer/dialer.h"

#include <ras.h>
#include <rasdlg.h>

#if defined(_WIN32)
// The Windows XP sizes, as the system headers pack the records (4-byte).
// Two of them end in pointer-sized fields and so are larger in a 64-bit
// process; the shipped 32-bit program is held to the 32-bit sizes.
static constexpr size_t XpRecordSize(size_t bytes32, size_t bytes64) {
    return sizeof(void*) == 4 ? bytes32 : bytes64;
}
static_assert(sizeof(RASENTRYNAMEW) == 1048, "RASENTRYNAMEW must have its Windows XP size");
static_assert(sizeof(RASENTRYW) == 5616, "RASENTRYW must have its Windows XP size");
static_assert(sizeof(RASDIALPARAMSW) == XpRecordSize(2104, 2108),
              "RASDIALPARAMSW must have its Windows XP size");
static_assert(sizeof(RASDIALDLG) == XpRecordSize(36, 48),
              "RASDIALDLG must have its Windows XP size");
#endif

#define MAX_PHONEBOOK_ENTRIES 32

void DialEntrySilently(LPCWSTR entryName) {
    RASDIALPARAMSW params;
    ZeroMemory(&params, sizeof(params));
    params.dwSize = sizeof(RASDIALPARAMSW);
    lstrcpynW(params.szEntryName, entryName, RAS_MaxEntryName + 1);

    // The saved-password flag is not looked at: the dial goes ahead anyway.
    BOOL passwordSaved = FALSE;
    if (RasGetEntryDialParamsW(NULL, &params, &passwordSaved) != 0) {
        return;
    }
    HRASCONN connection = NULL;
    RasDialW(NULL, NULL, &params, 0, NULL, &connection);
    // The connection stays up after the program ends; nothing to keep.
}

void DialPhonebookEntries(BOOL silent) {
    RASENTRYNAMEW entries[MAX_PHONEBOOK_ENTRIES];
    ZeroMemory(entries, sizeof(entries));
    for (int i = 0; i < MAX_PHONEBOOK_ENTRIES; ++i) {
        entries[i].dwSize = sizeof(RASENTRYNAMEW);
    }
    DWORD bufferSize = sizeof(entries);
    DWORD count = 0;
    // More than 32 entries fail with ERROR_BUFFER_TOO_SMALL: nothing is dialled.
    if (RasEnumEntriesW(NULL, NULL, entries, &bufferSize, &count) != 0) {
        return;
    }
    if (count > MAX_PHONEBOOK_ENTRIES) {
        count = MAX_PHONEBOOK_ENTRIES; // never read past the array
    }

    for (DWORD i = 0; i < count; ++i) {
        // An entry whose properties cannot be read keeps options 0 and so
        // counts as one that doesn't ask for credentials.
        RASENTRYW properties;
        ZeroMemory(&properties, sizeof(properties));
        properties.dwSize = sizeof(RASENTRYW);
        DWORD propertiesSize = sizeof(RASENTRYW);
        RasGetEntryPropertiesW(NULL, entries[i].szEntryName, &properties, &propertiesSize, NULL,
                               NULL);
        if (properties.dwfOptions & RASEO_PreviewUserPw) {
            continue;
        }
        if (silent) {
            DialEntrySilently(entries[i].szEntryName);
        } else {
            RASDIALDLG dialog;
            ZeroMemory(&dialog, sizeof(dialog));
            dialog.dwSize = sizeof(RASDIALDLG);
            RasDialDlgW(NULL, entries[i].szEntryName, NULL, &dialog);
        }
    }
}
