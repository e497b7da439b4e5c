// A small reader of 32-bit Windows executables for the resource tests: the
// headers the tests look at, the names of the imported DLLs and every
// resource of the .rsrc section.
#ifndef TOVIX_TESTS_RES_PE_IMAGE_H
#define TOVIX_TESTS_RES_PE_IMAGE_H

#include "user32/resource_data.h"

#include <string>
#include <vector>

// A resource copied out of its container (a .res file or an executable).
struct ResourceCopy {
    resdata::ResName type;
    resdata::ResName name;
    WORD language = 0;
    std::vector<unsigned char> bytes;
};

struct PeImage {
    WORD machine = 0;                 // IMAGE_FILE_HEADER.Machine
    WORD optionalMagic = 0;           // 0x10b for PE32, 0x20b for PE32+
    WORD subsystem = 0;               // IMAGE_OPTIONAL_HEADER.Subsystem
    std::vector<std::string> imports; // DLL names, in import directory order
    std::vector<ResourceCopy> resources;
};

// Reads an executable's bytes. On failure returns false and says why in *error.
bool ReadPeImage(const std::vector<unsigned char>& file, PeImage* image, std::string* error);

#endif
