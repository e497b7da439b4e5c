/*
 * wsprintfW with fuzz-chosen formats and arguments.
 *
 * Input: a format in UTF-8 up to the first NUL byte, then the bytes the
 * arguments are made from. The format is rebuilt from a safe alphabet: a
 * '%' directive is kept when its conversion is one of c C d i u x X p s S
 * (at most four of those, each given a real argument of the right kind:
 * %s gets a real string, or a null pointer) or an ASCII letter the formatter
 * does not know (no argument); any other '%' becomes "%%". Nothing here
 * depends on how a conversion is rendered, only on which argument it takes.
 *
 * Checks, in a 1100-unit buffer with a canary after the terminator:
 * at most 1023 units plus the terminator are stored, nothing is written past
 * the terminator, the result is the stored length; formatting the whole
 * format equals the first 1023 units of formatting its pieces one by one;
 * and plain integer, character and string conversions (no '#', no precision
 * on numbers, no '0' on text, width up to 1000) give what snprintf gives.
 */
#include <windows.h>
#include "common/text.h"

#include "fuzz_support.h"

#include <deque>
#include <vector>

namespace {

const int kMaxArgs = 4;
const size_t kBufferUnits = 1100;
const size_t kMaxStored = 1023;
const WCHAR kCanary = static_cast<WCHAR>(0xCAFE);

enum class Kind { Int, Ptr, Narrow, Wide };

struct Arg {
    Kind kind = Kind::Int;
    int i = 0;
    void* p = nullptr;
    const char* n = nullptr;
    LPCWSTR w = nullptr;
};

struct Piece {
    std::u16string format;
    bool directive = false;
    bool takesArg = false;
    bool left = false;
    bool prefix = false;
    bool zero = false;
    long width = -1;
    long precision = -1;
    char16_t size = 0;
    char16_t conv = 0;
    Arg arg;
};

template <typename... T> int Call(LPWSTR out, LPCWSTR format, const Arg* args, T... done) {
    if constexpr (sizeof...(T) == kMaxArgs) {
        (void)args;
        return wsprintfW(out, format, done...);
    } else {
        switch (args->kind) {
        case Kind::Ptr:
            return Call(out, format, args + 1, done..., args->p);
        case Kind::Narrow:
            return Call(out, format, args + 1, done..., args->n);
        case Kind::Wide:
            return Call(out, format, args + 1, done..., args->w);
        case Kind::Int:
            break;
        }
        return Call(out, format, args + 1, done..., args->i);
    }
}

std::u16string Run(const std::u16string& format, const Arg (&args)[kMaxArgs]) {
    std::vector<WCHAR> buffer(kBufferUnits, kCanary);
    int stored = Call(buffer.data(), tovix::AsWide(format), args);
    std::string context = "format " + fuzz::Show(format);
    FUZZ_CHECK(stored >= 0 && static_cast<size_t>(stored) <= kMaxStored,
               context + ": returned " + std::to_string(stored));
    FUZZ_CHECK(buffer[stored] == 0, context + ": no terminator at the returned length");
    for (int k = 0; k < stored; ++k) {
        FUZZ_CHECK(buffer[k] != 0, context + ": terminator at " + std::to_string(k) +
                                       ", returned " + std::to_string(stored));
    }
    for (size_t k = stored + 1; k < kBufferUnits; ++k) {
        FUZZ_CHECK(buffer[k] == kCanary, context + ": unit " + std::to_string(k) +
                                             " written past the terminator at " +
                                             std::to_string(stored));
    }
    return std::u16string(tovix::AsU16(buffer.data()), stored);
}

bool IsDigit(char16_t c) {
    return c >= u'0' && c <= u'9';
}
bool IsAsciiLetter(char16_t c) {
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
}
bool TakesArg(char16_t c) {
    return std::u16string(u"cCdiuxXpsS").find(c) != std::u16string::npos;
}

std::vector<Piece> Tokenize(const std::u16string& f) {
    std::vector<Piece> pieces;
    int args = 0;
    auto literal = [&](const std::u16string& s) {
        if (pieces.empty() || pieces.back().directive) {
            pieces.emplace_back();
        }
        pieces.back().format += s;
    };
    size_t i = 0;
    while (i < f.size()) {
        if (f[i] != u'%') {
            literal(std::u16string(1, f[i++]));
            continue;
        }
        if (i + 1 < f.size() && f[i + 1] == u'%') {
            literal(u"%%");
            i += 2;
            continue;
        }
        Piece d;
        d.directive = true;
        size_t k = i + 1;
        for (; k < f.size(); ++k) {
            if (f[k] == u'-') {
                d.left = true;
            } else if (f[k] == u'#') {
                d.prefix = true;
            } else if (f[k] == u'0') {
                d.zero = true;
            } else {
                break;
            }
        }
        if (k < f.size() && IsDigit(f[k])) {
            d.width = 0;
            for (; k < f.size() && IsDigit(f[k]); ++k) {
                d.width = std::min(d.width * 10 + (f[k] - u'0'), 100000L);
            }
        }
        if (k < f.size() && f[k] == u'.') {
            d.precision = 0;
            for (++k; k < f.size() && IsDigit(f[k]); ++k) {
                d.precision = std::min(d.precision * 10 + (f[k] - u'0'), 100000L);
            }
        }
        if (k < f.size() && (f[k] == u'h' || f[k] == u'l' || f[k] == u'w')) {
            d.size = f[k++];
        }
        bool keep = false;
        if (k < f.size()) {
            d.conv = f[k];
            d.takesArg = TakesArg(d.conv);
            keep = d.takesArg ? args < kMaxArgs : IsAsciiLetter(d.conv) && d.conv != u'n';
        }
        if (!keep) {
            literal(u"%%"); // and the rest as plain text
            ++i;
            continue;
        }
        args += d.takesArg ? 1 : 0;
        d.format = f.substr(i, k + 1 - i);
        pieces.push_back(d);
        i = k + 1;
    }
    return pieces;
}

bool NarrowText(const Piece& d) {
    bool wideSize = d.size == u'l' || d.size == u'w';
    return d.size == u'h' || ((d.conv == u'S' || d.conv == u'C') && !wideSize);
}

// Makes each directive's argument; strings live in the deques.
void MakeArgs(std::vector<Piece>& pieces, fuzz::ByteReader& in, std::deque<std::string>& narrow,
              std::deque<std::u16string>& wide) {
    for (Piece& d : pieces) {
        if (!d.takesArg) {
            continue;
        }
        switch (d.conv) {
        case u'c':
        case u'C':
            if (NarrowText(d)) {
                uint8_t b = in.Byte();
                d.arg.i = b ? b : '?';
            } else {
                uint16_t u = in.U16();
                d.arg.i = u ? u : '?';
            }
            break;
        case u'p':
            d.arg.kind = Kind::Ptr;
            d.arg.p = reinterpret_cast<void*>(static_cast<uintptr_t>(in.U64()));
            break;
        case u's':
        case u'S': {
            uint8_t length = in.Byte();
            d.arg.kind = NarrowText(d) ? Kind::Narrow : Kind::Wide;
            if (length == 255) {
                break; // a null pointer: "(null)"
            }
            if (d.arg.kind == Kind::Narrow) {
                std::string s;
                for (int k = 0; k < length; ++k) {
                    uint8_t b = in.Byte();
                    s.push_back(static_cast<char>(b ? b : 'x'));
                }
                narrow.push_back(s);
                d.arg.n = narrow.back().c_str();
            } else {
                std::u16string s;
                for (int k = 0; k < length; ++k) {
                    uint16_t u = in.U16();
                    s.push_back(u ? u : u'x');
                }
                wide.push_back(s);
                d.arg.w = tovix::AsWide(wide.back());
            }
            break;
        }
        default: // d i u x X
            d.arg.i = static_cast<int>(in.U32());
            break;
        }
    }
}

std::u16string Pad(const std::u16string& s, long width, bool left) {
    if (width <= static_cast<long>(s.size())) {
        return s;
    }
    std::u16string fill(width - s.size(), u' ');
    return left ? s + fill : fill + s;
}

// What a piece should give, when that is plain; false when not checked.
bool Reference(const Piece& p, std::u16string* out) {
    if (!p.directive) {
        out->clear();
        for (size_t i = 0; i < p.format.size(); ++i) {
            out->push_back(p.format[i]);
            if (p.format[i] == u'%') {
                ++i; // "%%"
            }
        }
        return true;
    }
    if (p.width > 1000) {
        return false;
    }
    switch (p.conv) {
    case u'd':
    case u'i':
    case u'u':
    case u'x':
    case u'X': {
        if (p.prefix || p.precision >= 0) {
            return false;
        }
        std::string fmt = "%";
        fmt += p.left ? "-" : "";
        fmt += p.zero ? "0" : "";
        fmt += p.width >= 0 ? std::to_string(p.width) : "";
        fmt.push_back(static_cast<char>(p.conv));
        char text[1100];
        if (p.conv == u'd' || p.conv == u'i') {
            std::snprintf(text, sizeof text, fmt.c_str(), p.arg.i);
        } else {
            std::snprintf(text, sizeof text, fmt.c_str(), static_cast<unsigned>(p.arg.i));
        }
        *out = tovix::Utf8ToUtf16(text);
        return true;
    }
    case u'c':
    case u'C':
        if (p.zero || (NarrowText(p) && p.arg.i >= 0x80)) {
            return false;
        }
        *out = Pad(std::u16string(1, static_cast<char16_t>(p.arg.i)), p.width, p.left);
        return true;
    case u's':
    case u'S': {
        std::u16string s;
        if (p.zero) {
            return false;
        }
        if (p.arg.kind == Kind::Narrow && p.arg.n) {
            for (const char* c = p.arg.n; *c; ++c) {
                if (static_cast<unsigned char>(*c) >= 0x80) {
                    return false;
                }
                s.push_back(static_cast<char16_t>(*c));
            }
        } else if (p.arg.kind == Kind::Wide && p.arg.w) {
            s = tovix::AsU16(p.arg.w);
        } else {
            return false;
        }
        if (p.precision >= 0 && static_cast<size_t>(p.precision) < s.size()) {
            s.resize(p.precision);
        }
        *out = Pad(s, p.width, p.left);
        return true;
    }
    default:
        return false;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    size_t formatBytes = 0;
    while (formatBytes < size && data[formatBytes]) {
        ++formatBytes;
    }
    std::u16string raw =
        tovix::Utf8ToUtf16(std::string_view(reinterpret_cast<const char*>(data), formatBytes));
    size_t argStart = formatBytes < size ? formatBytes + 1 : size;
    fuzz::ByteReader in(data + argStart, size - argStart);

    std::vector<Piece> pieces = Tokenize(raw);
    std::deque<std::string> narrow;
    std::deque<std::u16string> wide;
    MakeArgs(pieces, in, narrow, wide);

    std::u16string format;
    Arg all[kMaxArgs];
    int used = 0;
    for (const Piece& p : pieces) {
        format += p.format;
        if (p.takesArg) {
            all[used++] = p.arg;
        }
    }
    const std::u16string whole = Run(format, all);

    std::u16string joined;
    for (const Piece& p : pieces) {
        Arg one[kMaxArgs];
        if (p.takesArg) {
            one[0] = p.arg;
        }
        std::u16string got = Run(p.format, one);
        std::u16string want;
        if (Reference(p, &want)) {
            want.resize(std::min(want.size(), kMaxStored));
            FUZZ_CHECK(got == want, "format " + fuzz::Show(p.format) + " gave " + fuzz::Show(got) +
                                        ", want " + fuzz::Show(want));
        }
        joined += got;
    }
    joined.resize(std::min(joined.size(), kMaxStored));
    FUZZ_CHECK(whole == joined, "format " + fuzz::Show(format) + " gave " + fuzz::Show(whole) +
                                    ", its pieces one by one " + fuzz::Show(joined));
    return 0;
}
