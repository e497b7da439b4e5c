/* Transfer stage messages shown in the progress window's status line. */
#ifndef TOVIX_UI_STATUS_MESSAGES_H
#define TOVIX_UI_STATUS_MESSAGES_H

#include <windows.h>
#include <wininet.h>

#define STATUS_TEXT_CHARS 24
#define STATUS_MESSAGE_COUNT 7

struct STATUS_MESSAGE {
    DWORD dwStatus;
    WCHAR szText[STATUS_TEXT_CHARS];
};

extern const STATUS_MESSAGE StatusMessageTable[STATUS_MESSAGE_COUNT];

// Status callback of the update session: writes the message for the stage
// into the status line of the window named by the context value.
void CALLBACK OnInternetStatus(HINTERNET internet, DWORD_PTR context, DWORD status,
                               LPVOID statusInformation, DWORD statusInformationLength);

#endif
