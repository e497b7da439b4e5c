/*
 * A reader of compiled resources (.res files), which is how the host build
 * carries a module's resources. It splits a .res file
 * into its resources and decodes the formats the dialog manager needs: dialog
 * templates (DLGTEMPLATEEX), icon groups and the headers of icon images.
 *
 * Nothing here keeps a pointer into the bytes it is given except
 * Resource::data, which points into the .res file passed to ParseResFile.
 * Strings are copied out as UTF-16 (std::u16string); ToUtf8 and ToWide turn
 * them into UTF-8 or a NUL-terminated WCHAR buffer.
 */
#ifndef TOVIX_PLATFORM_USER32_RESOURCE_DATA_H
#define TOVIX_PLATFORM_USER32_RESOURCE_DATA_H

#include <windows.h>

#include <cstddef>
#include <string>
#include <vector>

namespace resdata {

/* Resource type ordinals (RT_*). */
constexpr WORD kTypeIcon = 3;
constexpr WORD kTypeDialog = 5;
constexpr WORD kTypeGroupIcon = 14;
constexpr WORD kTypeVersion = 16;

/* Ordinals of the predefined window classes in a dialog template. */
constexpr WORD kClassButton = 0x0080;
constexpr WORD kClassEdit = 0x0081;
constexpr WORD kClassStatic = 0x0082;

/* Matches any language in FindResourceEntry. */
constexpr int kAnyLanguage = -1;

/*
 * A resource type or name, a dialog's menu or class, or a control's class or
 * title: an ordinal, or a string. A string that is empty stands for "none"
 * (a dialog without a menu, a control without text).
 */
struct ResName {
    bool isOrdinal = false;
    WORD ordinal = 0;
    std::u16string text;

    static ResName Ordinal(WORD id);
    static ResName String(std::u16string s);
    bool Is(WORD id) const { return isOrdinal && ordinal == id; }
    bool IsNone() const { return !isOrdinal && text.empty(); }
    bool operator==(const ResName& other) const;
    bool operator!=(const ResName& other) const { return !(*this == other); }
};

/* One resource of a .res file. */
struct Resource {
    ResName type;
    ResName name;
    WORD language = 0;
    WORD memoryFlags = 0;
    DWORD dataVersion = 0;
    DWORD version = 0;
    DWORD characteristics = 0;
    const unsigned char* data = nullptr; /* into the .res file */
    size_t size = 0;
};

/*
 * Splits a .res file into its resources, in file order; the empty record a
 * .res file starts with is left out. Returns false (and leaves *out empty)
 * when the bytes are not a well-formed .res file.
 */
bool ParseResFile(const unsigned char* data, size_t size, std::vector<Resource>* out);

/* The first resource of the given type and name (and language), or null. */
const Resource* FindResourceEntry(const std::vector<Resource>& resources, const ResName& type,
                                  const ResName& name, int language = kAnyLanguage);
const Resource* FindResourceEntry(const std::vector<Resource>& resources, WORD type, WORD id,
                                  int language = kAnyLanguage);

/* One control of a dialog template. */
struct DialogItem {
    DWORD helpId = 0;
    DWORD exStyle = 0;
    DWORD style = 0;
    short x = 0;
    short y = 0;
    short cx = 0;
    short cy = 0;
    DWORD id = 0;
    ResName windowClass;
    ResName title;
    std::vector<unsigned char> extra; /* creation data, passed to WM_CREATE */
};

/* A DLGTEMPLATEEX. The font fields are set only when the style has DS_SETFONT. */
struct DialogTemplate {
    DWORD helpId = 0;
    DWORD exStyle = 0;
    DWORD style = 0;
    short x = 0;
    short y = 0;
    short cx = 0;
    short cy = 0;
    ResName menu;
    ResName windowClass;
    std::u16string title;
    bool hasFont = false;
    WORD pointSize = 0;
    WORD weight = 0;
    BYTE italic = 0;
    BYTE charset = 0;
    std::u16string faceName;
    std::vector<DialogItem> items;
};

/* Decodes an extended dialog template. False if malformed or not a DLGTEMPLATEEX. */
bool ParseDialogEx(const unsigned char* data, size_t size, DialogTemplate* out);

/* One image of an icon group (GRPICONDIRENTRY); 0 for width or height means 256. */
struct GroupIconEntry {
    BYTE width = 0;
    BYTE height = 0;
    BYTE colorCount = 0;
    BYTE reserved = 0;
    WORD planes = 0;
    WORD bitCount = 0;
    DWORD bytesInRes = 0;
    WORD id = 0; /* the RT_ICON resource holding the image */
};

/* Decodes an RT_GROUP_ICON resource (GRPICONDIR). */
bool ParseGroupIcon(const unsigned char* data, size_t size, std::vector<GroupIconEntry>* out);

/*
 * The header of an RT_ICON image: a BITMAPINFOHEADER (whose height counts
 * the colour rows and the mask rows) or, for a PNG image, png set and only
 * width and height (from its IHDR chunk) filled in.
 */
struct IconImageHeader {
    bool png = false;
    DWORD headerSize = 0;
    LONG width = 0;
    LONG height = 0;
    WORD planes = 0;
    WORD bitCount = 0;
    DWORD compression = 0; /* BI_RGB is 0 */
};

bool ParseIconImage(const unsigned char* data, size_t size, IconImageHeader* out);

/* UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD. */
std::string ToUtf8(const std::u16string& s);
/* UTF-8 to UTF-16; a malformed sequence becomes U+FFFD. */
std::u16string FromUtf8(const std::string& s);
/* A copy as a NUL-terminated WCHAR string, for the Win32 calls. */
std::vector<WCHAR> ToWide(const std::u16string& s);

} // namespace resdata

#endif
