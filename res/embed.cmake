# Writes a C++ source holding the bytes of a file, for the host build:
#   cmake -DINPUT=tovix.res -DOUTPUT=tovix_res.cpp -P embed.cmake
# The source defines TovixResourceBlob() (resource_blob.h).
if(NOT DEFINED INPUT OR NOT DEFINED OUTPUT)
    message(FATAL_ERROR "usage: cmake -DINPUT=<file> -DOUTPUT=<file.cpp> -P embed.cmake")
endif()

file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" digits)
math(EXPR size "${digits} / 2")
# 16 bytes ("0x12,") a line.
string(REPEAT "[0-9a-f]" 32 line)
string(REGEX REPLACE "(${line})" "\\1\n" bytes "${hex}")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1, " bytes "${bytes}")
string(REPLACE ", \n" ",\n    " bytes "${bytes}")
string(STRIP "${bytes}" bytes)
get_filename_component(name "${INPUT}" NAME)

file(WRITE "${OUTPUT}" "// Generated from ${name} by res/embed.cmake; do not edit.
#include \"resource_blob.h\"

namespace {
alignas(4) const unsigned char kResources[${size}] = {
    ${bytes}
};
} // namespace

const unsigned char* TovixResourceBlob(size_t* size) {
    if (size != nullptr)
        *size = sizeof kResources;
    return kResources;
}
")
