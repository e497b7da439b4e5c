/* The argument text the host start-up code hands to wWinMain (see args.h). */
#include "start/args.h"
#include "common/text.h"

namespace tovix {

std::u16string ArgumentText(int argc, const char* const* argv) {
    std::string joined;
    for (int i = 1; i < argc; ++i) {
        if (i > 1) {
            joined.push_back(' ');
        }
        joined += argv[i];
    }
    std::u16string text = Utf8ToUtf16(joined);
    size_t skip = 0;
    while (skip < text.size() && text[skip] <= u' ') {
        ++skip;
    }
    return text.substr(skip);
}

} // namespace tovix
