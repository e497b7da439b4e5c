/*
 * Command line: "-Slient" (any case) in the first seven characters selects
 * silent mode; then up to three space-separated words replace the host name,
 * the user name and the password. Only U+0020 separates words; tabs and
 * quotes are ordinary characters, and values are taken as they stand.
 */
#include "app/settings.h"

#include <shlwapi.h>

UPDATE_SETTINGS UpdateSettings = {DEFAULT_HOST_NAME, DEFAULT_USER_NAME, DEFAULT_PASSWORD};

static const WCHAR SilentSwitch[] = L"-Slient";
static const int SilentSwitchLength = sizeof(SilentSwitch) / sizeof(WCHAR) - 1;

BOOL ParseCommandLine(LPCWSTR argText) {
    if (!argText) {
        argText = L"";
    }
    BOOL silent = StrCmpNIW(argText, SilentSwitch, SilentSwitchLength) == 0;

    // Silent mode skips the switch and the one character after it (normally
    // the separating space) unseen; a switch at the very end leaves no fields.
    LPCWSTR pos = argText;
    if (silent) {
        pos = argText[SilentSwitchLength] ? argText + SilentSwitchLength + 1
                                          : argText + SilentSwitchLength;
    }

    LPWSTR fields[] = {UpdateSettings.szHostName, UpdateSettings.szUserName,
                       UpdateSettings.szPassword};
    const int fieldCount = sizeof(fields) / sizeof(fields[0]);
    for (int index = 0; index < fieldCount; ++index) {
        LPCWSTR space = StrChrW(pos, L' ');
        if (!space) {
            // The last word; an empty rest keeps this field's default.
            if (*pos) {
                lstrcpynW(fields[index], pos, SETTINGS_FIELD_CHARS);
            }
            break;
        }
        int length = static_cast<int>(space - pos);
        lstrcpynW(fields[index], pos,
                  length + 1 < SETTINGS_FIELD_CHARS ? length + 1 : SETTINGS_FIELD_CHARS);
        pos = space + 1;
    }
    return silent;
}
