# Writes a C++ source holding the bytes of a file, for the host build:
#   cmake -DINPUT=tovix.res -DOUTPUT=tovix_res.cpp -DFUNCTION=TovixResourceBlob
#         -DHEADER=resource_blob.h -P embed.cmake
# The source defines FUNCTION, declared in HEADER as
#   const unsigned char* FUNCTION(size_t* size);
if(NOT DEFINED INPUT OR NOT DEFINED OUTPUT OR NOT DEFINED FUNCTION OR NOT DEFINED HEADER)
    message(FATAL_ERROR "usage: cmake -DINPUT=<file> -DOUTPUT=<file.cpp> -DFUNCTION=<name> "
        "-DHEADER=<header> -P embed.cmake")
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

file(WRITE "${OUTPUT}" "// Generated from ${name} by cmake/embed.cmake; do not edit.
#include \"${HEADER}\"

namespace {
alignas(4) const unsigned char kResources[${size}] = {
    ${bytes}
};
} // namespace

const unsigned char* ${FUNCTION}(size_t* size) {
    if (size != nullptr)
        *size = sizeof kResources;
    return kResources;
}
")
