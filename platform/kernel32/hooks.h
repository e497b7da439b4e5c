/*
 * Fault injection and introspection for tests of the host kernel32 layer.
 * Nothing in the program calls these.
 */
#ifndef TOVIX_PLATFORM_KERNEL32_HOOKS_H
#define TOVIX_PLATFORM_KERNEL32_HOOKS_H

#include <windows.h>

namespace tovix {
// The next CreateThread call fails with this last-error code and starts nothing.
void FailNextCreateThread(DWORD error);
// Threads started by CreateThread that have not returned yet.
int RunningThreadCount();
} // namespace tovix

#endif
