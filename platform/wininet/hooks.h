/*
 * Fault injection and introspection for tests of the host WinInet layer.
 * Nothing in the program calls these.
 *
 * The layer also reads one environment variable for tests:
 * TOVIX_WININET_TIMEOUT_CAP_MS, a number of milliseconds that caps every
 * connect, send and receive timeout (set or default), so a test can run the
 * program, which sets 30 s, against a server that never answers.
 */
#ifndef TOVIX_PLATFORM_WININET_HOOKS_H
#define TOVIX_PLATFORM_WININET_HOOKS_H

#include <windows.h>

#include <stddef.h>

namespace tovix {
// The next InternetOpenUrlW on a valid session fails with this last-error
// code before anything is sent.
void FailNextInternetOpenUrl(DWORD error);
// The next InternetReadFile on a valid request fails with this code.
void FailNextInternetReadFile(DWORD error);
// Size of the handle table, and handles open now.
size_t InternetHandleCapacity();
size_t InternetLiveHandleCount();
// The most body bytes any request has held in its buffer since the last reset.
size_t InternetPeakBufferedBytes();
void ResetInternetPeakBufferedBytes();
} // namespace tovix

#endif
