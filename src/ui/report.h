/* The outcome of an update as the progress window shows it. */
#ifndef TOVIX_UI_REPORT_H
#define TOVIX_UI_REPORT_H

#include <windows.h>

// The caption of the finished window's button. The dialog reads its phase off
// the button, so this one text both labels it and is compared against.
extern const WCHAR CloseCaption[];

// Writes an outcome into the progress window as the worker does: the status
// line, the auto-close timer after a success, and the button turned into a
// live Close button. A failure with a non-zero code shows the platform's text
// for it; with code 0 it shows the answer.
void ReportUpdateResult(HWND window, BOOL success, DWORD error, LPCSTR answer);

#endif
