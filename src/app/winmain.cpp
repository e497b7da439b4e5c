/*
 * Tovix: keeps one dynamic DNS host name pointed at this machine. A run
 * brings up the dial-up connections that need no password prompt, sends one
 * update request, and shows the outcome in a progress window, or nothing at
 * all with the silent switch. The exit status is always 0.
 */
#include <windows.h>

#include "app/settings.h"
#include "dialer/dialer.h"
#include "resource.h"
#include "ui/progress_dialog.h"
#include "update/update.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR argText, int) {
    BOOL silent = ParseCommandLine(argText);
    DialPhonebookEntries(silent);
    if (silent) {
        RunUpdate(NULL);
    } else {
        DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_PROGRESS), NULL, ProgressDialogProc, 0);
    }
    return 0;
}
