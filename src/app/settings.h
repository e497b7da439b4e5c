/*
 * The one settings record of a run and the command-line parser that fills it.
 * Each field holds at most 31 characters and a terminator.
 */
#ifndef TOVIX_APP_SETTINGS_H
#define TOVIX_APP_SETTINGS_H

#include <windows.h>

#define SETTINGS_FIELD_CHARS 32

#define DEFAULT_HOST_NAME L"home.tovix.example"
#define DEFAULT_USER_NAME L"tovix"
#define DEFAULT_PASSWORD L"KoReL52"

struct UPDATE_SETTINGS {
    WCHAR szHostName[SETTINGS_FIELD_CHARS];
    WCHAR szUserName[SETTINGS_FIELD_CHARS];
    WCHAR szPassword[SETTINGS_FIELD_CHARS];
};

// Written only by ParseCommandLine, before any other thread exists.
extern UPDATE_SETTINGS UpdateSettings;

// Fills UpdateSettings from the argument text and returns TRUE when the text
// starts with the silent switch.
BOOL ParseCommandLine(LPCWSTR argText);

#endif
