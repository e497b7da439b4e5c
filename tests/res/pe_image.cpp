#include "pe_image.h"

#include <stdexcept>

namespace {

// Bounds-checked little-endian reads; a read outside the file throws.
class FileBytes {
  public:
    explicit FileBytes(const std::vector<unsigned char>& bytes) : bytes_(bytes) {}

    size_t size() const { return bytes_.size(); }
    unsigned char U8(size_t at) const {
        Need(at, 1);
        return bytes_[at];
    }
    WORD U16(size_t at) const { return static_cast<WORD>(U8(at) | U8(at + 1) << 8); }
    DWORD U32(size_t at) const { return U16(at) | static_cast<DWORD>(U16(at + 2)) << 16; }
    void Need(size_t at, size_t n) const {
        if (at > bytes_.size() || n > bytes_.size() - at)
            throw std::runtime_error("the file ends before offset " + std::to_string(at + n));
    }
    std::vector<unsigned char> Copy(size_t at, size_t n) const {
        Need(at, n);
        return std::vector<unsigned char>(bytes_.begin() + at, bytes_.begin() + at + n);
    }

  private:
    const std::vector<unsigned char>& bytes_;
};

struct Section {
    DWORD virtualAddress;
    DWORD virtualSize;
    DWORD rawOffset;
    DWORD rawSize;
};

class Reader {
  public:
    explicit Reader(const std::vector<unsigned char>& file) : file_(file) {}

    void Read(PeImage* image) {
        if (file_.U16(0) != 0x5A4D)
            throw std::runtime_error("no MZ signature");
        size_t pe = file_.U32(0x3C);
        if (file_.U32(pe) != 0x00004550)
            throw std::runtime_error("no PE signature");
        size_t coff = pe + 4;
        image->machine = file_.U16(coff);
        WORD sectionCount = file_.U16(coff + 2);
        WORD optionalSize = file_.U16(coff + 16);
        size_t optional = coff + 20;
        image->optionalMagic = file_.U16(optional);
        image->subsystem = file_.U16(optional + 68);
        size_t directories;
        if (image->optionalMagic == 0x10b)
            directories = optional + 96;
        else if (image->optionalMagic == 0x20b)
            directories = optional + 112;
        else
            throw std::runtime_error("unknown optional header magic");
        DWORD directoryCount = file_.U32(directories - 4);

        size_t table = optional + optionalSize;
        for (WORD i = 0; i < sectionCount; ++i) {
            size_t at = table + i * size_t{40};
            sections_.push_back(
                {file_.U32(at + 12), file_.U32(at + 8), file_.U32(at + 20), file_.U32(at + 16)});
        }
        if (directoryCount > 1 && file_.U32(directories + 8) != 0)
            ReadImports(file_.U32(directories + 8), image);
        if (directoryCount > 2 && file_.U32(directories + 16) != 0) {
            rsrc_ = Offset(file_.U32(directories + 16));
            ReadResourceDirectory(0, 0, ResourceCopy(), image);
        }
    }

  private:
    // The file offset of a relative virtual address.
    size_t Offset(DWORD rva) const {
        for (const Section& s : sections_) {
            DWORD extent = s.virtualSize > s.rawSize ? s.virtualSize : s.rawSize;
            if (rva >= s.virtualAddress && rva - s.virtualAddress < extent) {
                if (rva - s.virtualAddress >= s.rawSize)
                    throw std::runtime_error("address in a section's uninitialised part");
                return s.rawOffset + (rva - s.virtualAddress);
            }
        }
        throw std::runtime_error("address outside every section");
    }

    std::string CString(size_t at) const {
        std::string s;
        for (unsigned char c; (c = file_.U8(at)) != 0; ++at)
            s.push_back(static_cast<char>(c));
        return s;
    }

    void ReadImports(DWORD rva, PeImage* image) const {
        // IMAGE_IMPORT_DESCRIPTORs, 20 bytes each, up to an all-zero one.
        for (size_t at = Offset(rva);; at += 20) {
            file_.Need(at, 20);
            DWORD name = file_.U32(at + 12);
            if (name == 0 && file_.U32(at) == 0 && file_.U32(at + 16) == 0)
                return;
            image->imports.push_back(CString(Offset(name)));
        }
    }

    resdata::ResName EntryName(DWORD field) const {
        if ((field & 0x80000000u) == 0)
            return resdata::ResName::Ordinal(static_cast<WORD>(field));
        size_t at = rsrc_ + (field & 0x7FFFFFFFu);
        std::u16string s;
        for (WORD i = 0, n = file_.U16(at); i < n; ++i)
            s.push_back(static_cast<char16_t>(file_.U16(at + 2 + 2 * size_t{i})));
        return resdata::ResName::String(std::move(s));
    }

    // The directory tree has three levels: type, name, language.
    void ReadResourceDirectory(DWORD offset, int level, ResourceCopy found, PeImage* image) const {
        size_t at = rsrc_ + offset;
        size_t count = size_t{file_.U16(at + 12)} + file_.U16(at + 14);
        for (size_t i = 0; i < count; ++i) {
            size_t entry = at + 16 + 8 * i;
            DWORD name = file_.U32(entry);
            DWORD target = file_.U32(entry + 4);
            bool directory = (target & 0x80000000u) != 0;
            if (directory != (level < 2))
                throw std::runtime_error("resource tree is not three levels deep");
            if (level == 0)
                found.type = EntryName(name);
            else if (level == 1)
                found.name = EntryName(name);
            else
                found.language = static_cast<WORD>(name);
            if (directory) {
                ReadResourceDirectory(target & 0x7FFFFFFFu, level + 1, found, image);
            } else {
                size_t data = rsrc_ + target; // IMAGE_RESOURCE_DATA_ENTRY
                found.bytes = file_.Copy(Offset(file_.U32(data)), file_.U32(data + 4));
                image->resources.push_back(found);
            }
        }
    }

    FileBytes file_;
    std::vector<Section> sections_;
    size_t rsrc_ = 0;
};

} // namespace

bool ReadPeImage(const std::vector<unsigned char>& file, PeImage* image, std::string* error) {
    *image = PeImage();
    try {
        Reader(file).Read(image);
        return true;
    } catch (const std::exception& e) {
        *error = e.what();
        return false;
    }
}
