/*
 * What the host kernel32 tells start-up about the threads it started.
 */
#ifndef TOVIX_PLATFORM_KERNEL32_THREADS_H
#define TOVIX_PLATFORM_KERNEL32_THREADS_H

namespace tovix {
// Threads started by CreateThread that have not returned yet.
int RunningThreadCount();
} // namespace tovix

#endif
