/* Brings up the phonebook's dial-up connections that need no credential prompt. */
#ifndef TOVIX_DIALER_DIALER_H
#define TOVIX_DIALER_DIALER_H

#include <windows.h>

// Dials every entry of the default phonebook that doesn't ask for a user
// name and password: silently, or through the system dial dialog.
void DialPhonebookEntries(BOOL silent);

// Dials one entry with its saved dial parameters, synchronously and without
// a window. Failures are ignored.
void DialEntrySilently(LPCWSTR entryName);

#endif
