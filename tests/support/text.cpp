#include "text.h"

#include "common/text.h"

namespace testing_text {

std::string U8(LPCWSTR text) {
    return text ? tovix::Utf16ToUtf8(text) : std::string("(null)");
}
std::u16string U16(const std::string& utf8) {
    return tovix::Utf8ToUtf16(utf8);
}

} // namespace testing_text
