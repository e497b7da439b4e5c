/*
 * Module handles of the host layer. There is no loader: the program's own
 * module, the Internet library and the dial dialog's library are fixed
 * pseudo handles, so that GetModuleHandleW, LoadIconW, DialogBoxParamW and
 * FormatMessageW agree on them.
 */
#ifndef TOVIX_PLATFORM_COMMON_MODULES_H
#define TOVIX_PLATFORM_COMMON_MODULES_H

#include <windows.h>

namespace tovix {
inline HMODULE ProgramModule() {
    return reinterpret_cast<HMODULE>(static_cast<uintptr_t>(0x400000));
}
inline HMODULE WinInetModule() {
    return reinterpret_cast<HMODULE>(static_cast<uintptr_t>(0x76000000));
}
inline HMODULE RasDlgModule() {
    return reinterpret_cast<HMODULE>(static_cast<uintptr_t>(0x76500000));
}
} // namespace tovix

#endif
