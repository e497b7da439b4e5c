/*
 * Host start-up: picks the terminal driver, hands user32 the program's
 * compiled resources (as the Windows loader maps the exe's resource
 * section), turns main's arguments into the argument text, calls the
 * program's wWinMain with the program's module handle, and exits with its
 * result. As on Windows, the process ends when the entry returns, even if a
 * thread it started is still closing its handles: such threads are not
 * waited for.
 */
#include <windows.h>
#include "common/modules.h"
#include "driver/driver.h"
#include "kernel32/threads.h"
#include "resource_blob.h"
#include "start/args.h"
#include "user32/dialog_manager.h"

#include <cstdio>
#include <unistd.h>

int main(int argc, char** argv) {
    tovix::UseDriver(tovix::TtyDriver());
    size_t size = 0;
    const unsigned char* resources = TovixResourceBlob(&size);
    tovix::SetModuleResources(tovix::ProgramModule(), resources, size);

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
