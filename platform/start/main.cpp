/*
 * Host start-up: turns main's arguments into the argument text, calls the
 * program's wWinMain with the program's module handle, and exits with its
 * result. As on Windows, the process ends when the entry returns, even if a
 * thread it started is still closing its handles: such threads are not
 * waited for.
 */
#include <windows.h>
#include "kernel32/hooks.h"
#include "start/args.h"

#include <cstdio>
#include <unistd.h>

int main(int argc, char** argv) {
    std::u16string text = tovix::ArgumentText(argc, argv);
    int status = wWinMain(GetModuleHandleW(nullptr), nullptr, reinterpret_cast<LPWSTR>(text.data()),
                          10 /* SW_SHOWDEFAULT */);
    if (tovix::RunningThreadCount() > 0) {
        // Running destructors under a live thread could pull its state from
        // under it; end the process the way ExitProcess does instead.
        std::fflush(nullptr);
        _exit(status);
    }
    return status;
}
