// Hands the program's compiled resources to the host user32 before main,
// as the host start-up code does for tovix; compiled into each test program
// that creates the program's dialog (target tovix_test_resources).
#include "common/modules.h"
#include "resource_blob.h"
#include "user32/dialog_manager.h"

namespace {

const bool g_handed = [] {
    size_t size = 0;
    const unsigned char* resources = TovixResourceBlob(&size);
    tovix::SetModuleResources(tovix::ProgramModule(), resources, size);
    return true;
}();

} // namespace
