// The .res reader: see resource_data.h. Every read is bounds-checked; the
// formats are little-endian and 16-bit strings may sit at odd addresses in
// the caller's buffer, so everything is read a byte at a time.
#include "resource_data.h"

#include "common/text.h"

#include <algorithm>
#include <utility>

namespace resdata {
namespace {

// Reads little-endian fields from a byte range. A read past the end sets
// failed and returns zeros; callers check failed once per record.
class Cursor {
  public:
    Cursor(const unsigned char* data, size_t size) : data_(data), size_(size) {}

    bool failed() const { return failed_; }
    size_t offset() const { return at_; }
    size_t left() const { return failed_ ? 0 : size_ - at_; }

    BYTE Byte() { return Take(1) ? data_[at_ - 1] : 0; }
    WORD Word() {
        if (!Take(2))
            return 0;
        return static_cast<WORD>(data_[at_ - 2] | data_[at_ - 1] << 8);
    }
    DWORD Dword() {
        WORD low = Word();
        WORD high = Word();
        return static_cast<DWORD>(low) | static_cast<DWORD>(high) << 16;
    }
    short Short() { return static_cast<short>(Word()); }
    void Skip(size_t n) { Take(n); }

    // Moves to the next multiple of n bytes from the start of the range.
    void Align(size_t n) {
        size_t pad = (n - at_ % n) % n;
        if (pad > left())
            failed_ = true;
        else
            at_ += pad;
    }

    // A NUL-terminated UTF-16 string.
    std::u16string String() {
        std::u16string s;
        for (;;) {
            WORD c = Word();
            if (failed_ || c == 0)
                return s;
            s.push_back(static_cast<char16_t>(c));
        }
    }

    // A string, or 0xFFFF followed by an ordinal.
    ResName NameOrOrdinal() {
        if (left() >= 2 && data_[at_] == 0xFF && data_[at_ + 1] == 0xFF) {
            Skip(2);
            return ResName::Ordinal(Word());
        }
        return ResName::String(String());
    }

  private:
    bool Take(size_t n) {
        if (failed_ || n > size_ - at_) {
            failed_ = true;
            return false;
        }
        at_ += n;
        return true;
    }

    const unsigned char* data_;
    size_t size_;
    size_t at_ = 0;
    bool failed_ = false;
};

constexpr DWORD kDialogSetFont = 0x40; // DS_SETFONT, also part of DS_SHELLFONT

} // namespace

ResName ResName::Ordinal(WORD id) {
    ResName n;
    n.isOrdinal = true;
    n.ordinal = id;
    return n;
}

ResName ResName::String(std::u16string s) {
    ResName n;
    n.text = std::move(s);
    return n;
}

bool ResName::operator==(const ResName& other) const {
    if (isOrdinal != other.isOrdinal)
        return false;
    return isOrdinal ? ordinal == other.ordinal : text == other.text;
}

bool ParseResFile(const unsigned char* data, size_t size, std::vector<Resource>* out) {
    out->clear();
    size_t at = 0;
    while (at < size) {
        // Each record: DataSize, HeaderSize, type, name, DWORD-aligned
        // DataVersion, MemoryFlags, LanguageId, Version, Characteristics;
        // then the data, and padding to the next DWORD.
        Cursor header(data + at, size - at);
        DWORD dataSize = header.Dword();
        DWORD headerSize = header.Dword();
        Resource r;
        r.type = header.NameOrOrdinal();
        r.name = header.NameOrOrdinal();
        header.Align(4);
        r.dataVersion = header.Dword();
        r.memoryFlags = header.Word();
        r.language = header.Word();
        r.version = header.Dword();
        r.characteristics = header.Dword();
        size_t left = size - at;
        if (header.failed() || headerSize < header.offset() || headerSize > left ||
            dataSize > left - headerSize) {
            out->clear();
            return false;
        }
        r.data = data + at + headerSize;
        r.size = dataSize;
        if (!(dataSize == 0 && r.type.Is(0) && r.name.Is(0)))
            out->push_back(std::move(r));
        size_t next = headerSize + dataSize;
        next += (4 - next % 4) % 4;
        at += next < left ? next : left;
    }
    return true;
}

const Resource* FindResourceEntry(const std::vector<Resource>& resources, const ResName& type,
                                  const ResName& name, int language) {
    for (const Resource& r : resources) {
        if (r.type == type && r.name == name &&
            (language == kAnyLanguage || r.language == language))
            return &r;
    }
    return nullptr;
}

const Resource* FindResourceEntry(const std::vector<Resource>& resources, WORD type, WORD id,
                                  int language) {
    return FindResourceEntry(resources, ResName::Ordinal(type), ResName::Ordinal(id), language);
}

bool ParseDialogEx(const unsigned char* data, size_t size, DialogTemplate* out) {
    *out = DialogTemplate();
    Cursor c(data, size);
    WORD version = c.Word();
    WORD signature = c.Word();
    if (c.failed() || version != 1 || signature != 0xFFFF)
        return false;
    DialogTemplate d;
    d.helpId = c.Dword();
    d.exStyle = c.Dword();
    d.style = c.Dword();
    WORD count = c.Word();
    d.x = c.Short();
    d.y = c.Short();
    d.cx = c.Short();
    d.cy = c.Short();
    d.menu = c.NameOrOrdinal();
    d.windowClass = c.NameOrOrdinal();
    d.title = c.String();
    if ((d.style & kDialogSetFont) != 0) {
        d.hasFont = true;
        d.pointSize = c.Word();
        d.weight = c.Word();
        d.italic = c.Byte();
        d.charset = c.Byte();
        d.faceName = c.String();
    }
    for (WORD i = 0; i < count && !c.failed(); ++i) {
        c.Align(4);
        DialogItem item;
        item.helpId = c.Dword();
        item.exStyle = c.Dword();
        item.style = c.Dword();
        item.x = c.Short();
        item.y = c.Short();
        item.cx = c.Short();
        item.cy = c.Short();
        item.id = c.Dword();
        item.windowClass = c.NameOrOrdinal();
        item.title = c.NameOrOrdinal();
        WORD extra = c.Word();
        if (extra > c.left())
            return false;
        item.extra.assign(data + c.offset(), data + c.offset() + extra);
        c.Skip(extra);
        d.items.push_back(std::move(item));
    }
    if (c.failed())
        return false;
    *out = std::move(d);
    return true;
}

bool ParseGroupIcon(const unsigned char* data, size_t size, std::vector<GroupIconEntry>* out) {
    out->clear();
    Cursor c(data, size);
    WORD reserved = c.Word();
    WORD type = c.Word();
    WORD count = c.Word();
    if (c.failed() || reserved != 0 || type != 1 || c.left() < count * size_t{14})
        return false;
    for (WORD i = 0; i < count; ++i) {
        GroupIconEntry e;
        e.width = c.Byte();
        e.height = c.Byte();
        e.colorCount = c.Byte();
        e.reserved = c.Byte();
        e.planes = c.Word();
        e.bitCount = c.Word();
        e.bytesInRes = c.Dword();
        e.id = c.Word();
        out->push_back(e);
    }
    return true;
}

bool ParseIconImage(const unsigned char* data, size_t size, IconImageHeader* out) {
    *out = IconImageHeader();
    static const unsigned char kPng[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (size >= 8 && std::equal(kPng, kPng + 8, data)) {
        // The IHDR chunk comes first; its width and height are big-endian.
        if (size < 24)
            return false;
        auto big = [data](size_t at) {
            return static_cast<LONG>(static_cast<DWORD>(data[at]) << 24 | data[at + 1] << 16 |
                                     data[at + 2] << 8 | data[at + 3]);
        };
        out->png = true;
        out->width = big(16);
        out->height = big(20);
        return true;
    }
    Cursor c(data, size);
    IconImageHeader h;
    h.headerSize = c.Dword();
    h.width = static_cast<LONG>(c.Dword());
    h.height = static_cast<LONG>(c.Dword());
    h.planes = c.Word();
    h.bitCount = c.Word();
    h.compression = c.Dword();
    if (c.failed() || h.headerSize < 40 || h.headerSize > size)
        return false;
    *out = h;
    return true;
}

std::string ToUtf8(const std::u16string& s) {
    return tovix::Utf16ToUtf8(s);
}

std::u16string FromUtf8(const std::string& s) {
    return tovix::Utf8ToUtf16(s);
}

std::vector<WCHAR> ToWide(const std::u16string& s) {
    std::vector<WCHAR> out(s.begin(), s.end());
    out.push_back(0);
    return out;
}

} // namespace resdata
