/*
 * wsprintfW for the host: the conversions of the Windows formatter
 * (%c %C %hc %lc %d %i %u %x %X %p %s %S %hs %ls %ws %%) with the flags '-',
 * '#', '0', a width and a precision, and no floating point. Narrow text
 * (%hs, %S, %hc) is widened from UTF-8, the host system's code page. As on
 * Windows, at most 1024 characters are stored including the terminator;
 * the result is the number of characters stored without it.
 */
#include <windows.h>
#include "common/text.h"

#include <cstdarg>
#include <string>

namespace {

const size_t kMaxOutput = 1024;

struct Conversion {
    bool left = false;
    bool prefix = false;
    bool zero = false;
    int width = 0;
    int precision = -1;
};

void Pad(std::u16string& out, size_t len, const Conversion& options, char16_t fill) {
    for (size_t i = len; i < static_cast<size_t>(options.width); ++i) {
        out.push_back(fill);
    }
}

void PutText(std::u16string& out, const std::u16string& text, const Conversion& options) {
    std::u16string s = text;
    if (options.precision >= 0 && s.size() > static_cast<size_t>(options.precision)) {
        s.resize(options.precision);
    }
    if (!options.left) {
        Pad(out, s.size(), options, u' ');
    }
    out += s;
    if (options.left) {
        Pad(out, s.size(), options, u' ');
    }
}

// As Windows lays a number out: the sign and digits (zero-filled up to the
// precision, or up to the width with '0'), then the "0x" prefix in front of
// them, outside the width: "%#08X" of 12345 is "0X00003039".
void PutNumber(std::u16string& out, uint64_t magnitude, bool negative, unsigned base, bool upper,
               const Conversion& options) {
    const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    std::u16string body;
    do {
        body.insert(body.begin(), static_cast<char16_t>(digits[magnitude % base]));
        magnitude /= base;
    } while (magnitude);
    size_t len = body.size() + (negative ? 1 : 0); // the sign counts as a digit
    size_t filled = options.precision > 0 ? static_cast<size_t>(options.precision) : 0;
    filled = filled < len ? len : filled;
    if (options.zero && !options.left && static_cast<size_t>(options.width) > filled) {
        filled = static_cast<size_t>(options.width);
    }
    if (!options.left) {
        Pad(out, filled, options, u' ');
    }
    if (options.prefix && base == 16) {
        out += upper ? u"0X" : u"0x";
    }
    if (negative) {
        out.push_back(u'-');
    }
    out.append(filled - len, u'0');
    out += body;
    if (options.left) {
        Pad(out, filled, options, u' ');
    }
}

enum class Size { kDefault, kShort, kLong };

// The arguments still to be read, in a form that can be passed on.
struct Arguments {
    va_list list;
};

// Reads the digits at f into *count (no more than the output could hold);
// returns what follows them.
const char16_t* ReadCount(const char16_t* f, int* count) {
    while (*f >= u'0' && *f <= u'9') {
        *count = *count * 10 + (*f++ - u'0');
        if (*count > static_cast<int>(kMaxOutput)) {
            *count = kMaxOutput;
        }
    }
    return f;
}

// Reads the flags, width, precision and size of the conversion at f (just
// after its '%'); returns where its conversion character stands.
const char16_t* ParseConversion(const char16_t* f, Conversion* options, Size* size) {
    for (;; ++f) {
        if (*f == u'-') {
            options->left = true;
        } else if (*f == u'#') {
            options->prefix = true;
        } else if (*f == u'0') {
            options->zero = true;
        } else {
            break;
        }
    }
    f = ReadCount(f, &options->width);
    if (*f == u'.') {
        options->precision = 0;
        f = ReadCount(f + 1, &options->precision);
    }
    *size = Size::kDefault;
    if (*f == u'h') {
        *size = Size::kShort;
        ++f;
    } else if (*f == u'l' || *f == u'w') {
        *size = Size::kLong;
        ++f;
    }
    return f;
}

// Characters of text before its terminator, at most precision of them
// (all when negative): the precision counts input characters, so nothing
// past it is read.
template <typename Char> size_t CountUpTo(const Char* text, int precision) {
    size_t n = 0;
    while (text[n] && (precision < 0 || n < static_cast<size_t>(precision))) {
        ++n;
    }
    return n;
}

// %s and %S: narrow text is UTF-8, widened.
std::u16string StringArgument(bool narrow, int precision, Arguments& args) {
    if (narrow) {
        const char* p = va_arg(args.list, const char*);
        return p ? tovix::Utf8ToUtf16(std::string_view(p, CountUpTo(p, precision))) : u"(null)";
    }
    LPCWSTR p = va_arg(args.list, LPCWSTR);
    return p ? std::u16string(tovix::AsU16(p), CountUpTo(p, precision)) : u"(null)";
}

// %c and %C: a narrow character is one UTF-8 byte.
std::u16string CharArgument(bool narrow, Arguments& args) {
    int c = va_arg(args.list, int);
    if (narrow) {
        char byte = static_cast<char>(c);
        return tovix::Utf8ToUtf16(std::string_view(&byte, 1));
    }
    return std::u16string(1, static_cast<char16_t>(c));
}

void PutConversion(std::u16string& out, char16_t conv, Size size, const Conversion& options,
                   Arguments& args) {
    bool narrow = size == Size::kShort || (size != Size::kLong && (conv == u'C' || conv == u'S'));
    switch (conv) {
    case u'c':
    case u'C': {
        Conversion noPrecision = options;
        noPrecision.precision = -1;
        PutText(out, CharArgument(narrow, args), noPrecision);
        break;
    }
    case u's':
    case u'S':
        PutText(out, StringArgument(narrow, options.precision, args), options);
        break;
    case u'd':
    case u'i': {
        int v = va_arg(args.list, int);
        uint64_t magnitude = v < 0 ? static_cast<uint64_t>(-static_cast<int64_t>(v)) : v;
        PutNumber(out, magnitude, v < 0, 10, false, options);
        break;
    }
    case u'u':
        PutNumber(out, va_arg(args.list, unsigned int), false, 10, false, options);
        break;
    case u'x':
    case u'X':
        PutNumber(out, va_arg(args.list, unsigned int), false, 16, conv == u'X', options);
        break;
    case u'p': {
        Conversion pointer = options;
        pointer.zero = true;
        pointer.width = static_cast<int>(sizeof(void*) * 2);
        PutNumber(out, reinterpret_cast<uintptr_t>(va_arg(args.list, void*)), false, 16, true,
                  pointer);
        break;
    }
    default:
        // Unknown conversions are copied as they stand, as Windows does.
        out.push_back(conv);
        break;
    }
}

std::u16string Format(LPCWSTR fmt, Arguments& args) {
    std::u16string out;
    const char16_t* f = tovix::AsU16(fmt);
    while (*f && out.size() < kMaxOutput) {
        if (*f != u'%' || f[1] == u'%') {
            f += *f == u'%' ? 1 : 0; // "%%" is one '%'
            out.push_back(*f++);
            continue;
        }
        Conversion options;
        Size size;
        f = ParseConversion(f + 1, &options, &size);
        if (!*f) {
            break;
        }
        char16_t conv = *f++;
        PutConversion(out, conv, size, options, args);
    }
    if (out.size() > kMaxOutput - 1) {
        out.resize(kMaxOutput - 1);
    }
    return out;
}

} // namespace

int WINAPIV wsprintfW(LPWSTR buffer, LPCWSTR fmt, ...) {
    if (!buffer || !fmt) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    Arguments args;
    va_start(args.list, fmt);
    std::u16string text = Format(fmt, args);
    va_end(args.list);
    for (size_t i = 0; i < text.size(); ++i) {
        buffer[i] = static_cast<WCHAR>(text[i]);
    }
    buffer[text.size()] = 0;
    return static_cast<int>(text.size());
}
