/*
 * Helpers shared by the fuzz targets: a failing check that names what broke,
 * a reader that turns the fuzzer's bytes into values (zeros once the bytes
 * run out), and a printable form of UTF-16 text for failure messages.
 */
#ifndef TOVIX_FUZZ_SUPPORT_H
#define TOVIX_FUZZ_SUPPORT_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace fuzz {

[[noreturn]] inline void Fail(const char* file, int line, const char* condition,
                              const std::string& detail) {
    std::fprintf(stderr, "\n%s:%d: check failed: %s\n%s\n", file, line, condition, detail.c_str());
    std::fflush(stderr);
    std::abort();
}

#define FUZZ_CHECK(condition, detail)                                                              \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            ::fuzz::Fail(__FILE__, __LINE__, #condition, (detail));                                \
        }                                                                                          \
    } while (0)

// "abc\u00e9\x01" style: printable ASCII as is, everything else as \uXXXX.
inline std::string Show(const std::u16string& s) {
    std::string out = "\"";
    for (char16_t c : s) {
        if (c >= 0x20 && c < 0x7F && c != u'"' && c != u'\\') {
            out.push_back(static_cast<char>(c));
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04X", static_cast<unsigned>(c));
            out += buf;
        }
    }
    return out + "\"";
}

inline std::string ShowBytes(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
            out.push_back(static_cast<char>(c));
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", static_cast<unsigned>(c));
            out += buf;
        }
    }
    return out + "\"";
}

// UTF-16LE reading of raw bytes; an odd last byte is dropped.
inline std::u16string Utf16LE(const uint8_t* data, size_t size) {
    std::u16string out;
    out.reserve(size / 2);
    for (size_t i = 0; i + 1 < size; i += 2) {
        out.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
    }
    return out;
}

class ByteReader {
  public:
    ByteReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    size_t Left() const { return size_; }
    uint8_t Byte() {
        if (!size_) {
            return 0;
        }
        --size_;
        return *data_++;
    }
    uint16_t U16() {
        uint16_t low = Byte();
        return static_cast<uint16_t>(low | (Byte() << 8));
    }
    uint32_t U32() {
        uint32_t low = U16();
        return low | (static_cast<uint32_t>(U16()) << 16);
    }
    uint64_t U64() {
        uint64_t low = U32();
        return low | (static_cast<uint64_t>(U32()) << 32);
    }

  private:
    const uint8_t* data_;
    size_t size_;
};

} // namespace fuzz

#endif
