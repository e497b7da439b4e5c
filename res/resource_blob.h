/*
 * Tovix's compiled resources in the host build: res/tovix.rc compiled by
 * windres into a .res file, whose bytes are linked into the program
 * (target tovix_resources). The host start-up code hands them to the
 * platform layer, as the Windows loader maps an exe's resource section.
 */
#ifndef TOVIX_RES_RESOURCE_BLOB_H
#define TOVIX_RES_RESOURCE_BLOB_H

#include <cstddef>

// The bytes of the .res file, and their number in *size.
const unsigned char* TovixResourceBlob(size_t* size);

#endif
