/* The modal progress window of interactive mode. */
#ifndef TOVIX_UI_PROGRESS_DIALOG_H
#define TOVIX_UI_PROGRESS_DIALOG_H

#include <windows.h>

// Dialog procedure of IDD_PROGRESS. Starts the update worker when the window
// is created; the window's phase (running, cancelling, finished) is read off
// its button. Returns FALSE for every message.
INT_PTR CALLBACK ProgressDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

#endif
