/*
 * The argument text the host start-up code hands to wWinMain. Linux has no
 * raw command line, so it is rebuilt: the arguments after the program name,
 * joined by single spaces, converted from UTF-8 (an invalid byte becomes
 * U+FFFD), with leading characters at or below U+0020 skipped, as Windows'
 * start-up code skips the blanks after the program name.
 */
#ifndef TOVIX_PLATFORM_START_ARGS_H
#define TOVIX_PLATFORM_START_ARGS_H

#include <string>

namespace tovix {
std::u16string ArgumentText(int argc, const char* const* argv);
}

#endif
