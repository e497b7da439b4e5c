/*
 * The update worker: one dynamic DNS update per call, and the session slot
 * through which the progress dialog cancels a running request.
 */
#ifndef TOVIX_UPDATE_UPDATE_H
#define TOVIX_UPDATE_UPDATE_H

#include <windows.h>
#include <wininet.h>

#include <atomic>

// The open Internet session, or null. Whoever closes the session empties the
// slot by exchange, so the session is closed exactly once even when a cancel
// and the worker's clean-up meet.
extern std::atomic<HINTERNET> SessionSlot;

// Sends the update request and judges the answer. With a window (the
// progress dialog) it reports there and arms the auto-close timer after a
// success; with none it shows nothing. Returns 0 on success, else the error
// code, or (DWORD)-1 for a refused answer or a failure without a window.
DWORD WINAPI RunUpdate(LPVOID window);

#endif
