// Reads Tovix's compiled resources back and checks every one of them, from
// two places: the .res file embedded in the host build (TovixResourceBlob)
// and the .rsrc section of the cross-built Tovix.exe. Both go through the
// same checks.
//
//   tovix_res_tests --exe=<path to Tovix.exe> [gtest options]
#include "pe_image.h"
#include "resource.h"
#include "resource_blob.h"
#include "tovix_version.h"
#include "user32/resource_data.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>

namespace {

using resdata::kTypeDialog;
using resdata::kTypeGroupIcon;
using resdata::kTypeIcon;
using resdata::kTypeVersion;
using resdata::ResName;
using resdata::ToUtf8;

constexpr WORD kChineseSimplified = MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED);
constexpr WORD kNeutralDefault = MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT);
static_assert(kChineseSimplified == 2052 && kNeutralDefault == 1024, "language ids");

std::string g_exePath;

std::string Describe(const ResName& n) {
    return n.isOrdinal ? "#" + std::to_string(n.ordinal) : "\"" + ToUtf8(n.text) + "\"";
}

std::string Describe(const ResourceCopy& r) {
    return "type " + Describe(r.type) + " name " + Describe(r.name) + " language " +
           std::to_string(r.language);
}

std::string Lower(std::string s) {
    for (char& c : s)
        c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    return s;
}

testing::AssertionResult ReadFile(const std::string& path, std::vector<unsigned char>* bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return testing::AssertionFailure()
               << "cannot open " << path
               << " (build the win32 preset first: cmake --build --preset win32)";
    bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return testing::AssertionSuccess();
}

testing::AssertionResult LoadBlob(std::vector<ResourceCopy>* out) {
    size_t size = 0;
    const unsigned char* blob = TovixResourceBlob(&size);
    std::vector<resdata::Resource> all;
    if (!resdata::ParseResFile(blob, size, &all))
        return testing::AssertionFailure() << "the embedded .res file does not parse";
    for (const resdata::Resource& r : all)
        out->push_back(
            {r.type, r.name, r.language, std::vector<unsigned char>(r.data, r.data + r.size)});
    return testing::AssertionSuccess();
}

testing::AssertionResult LoadExe(PeImage* image) {
    std::vector<unsigned char> file;
    testing::AssertionResult read = ReadFile(g_exePath, &file);
    if (!read)
        return read;
    std::string error;
    if (!ReadPeImage(file, image, &error))
        return testing::AssertionFailure() << g_exePath << ": " << error;
    return testing::AssertionSuccess();
}

enum class Source { Blob, Exe };

void PrintTo(Source source, std::ostream* os) {
    *os << (source == Source::Blob ? "the embedded .res file" : "Tovix.exe");
}

class Resources : public testing::TestWithParam<Source> {
  protected:
    void SetUp() override {
        if (GetParam() == Source::Blob) {
            ASSERT_TRUE(LoadBlob(&all_));
        } else {
            PeImage image;
            ASSERT_TRUE(LoadExe(&image));
            all_ = image.resources;
        }
    }

    // The resource, or null (and a failure) if there is none.
    const ResourceCopy* Find(WORD type, WORD id) {
        for (const ResourceCopy& r : all_) {
            if (r.type.Is(type) && r.name.Is(id))
                return &r;
        }
        ADD_FAILURE() << "no resource of type " << type << " and id " << id;
        return nullptr;
    }

    std::vector<ResourceCopy> all_;
};

// ---- Which resources there are ----

struct ExpectedEntry {
    WORD type;
    WORD id;
    WORD language;
};

const ExpectedEntry kEntries[] = {
    {kTypeDialog, IDD_PROGRESS, kChineseSimplified},
    {kTypeGroupIcon, IDI_MAIN, kChineseSimplified},
    {kTypeIcon, 1, kChineseSimplified},
    {kTypeIcon, 2, kChineseSimplified},
    {kTypeIcon, 3, kChineseSimplified},
    {kTypeIcon, 4, kChineseSimplified},
    {kTypeIcon, 5, kChineseSimplified},
    {kTypeVersion, 1, kNeutralDefault},
};

TEST_P(Resources, AreExactlyTheDialogTheIconAndTheVersionBlock) {
    std::multiset<std::string> expected;
    for (const ExpectedEntry& e : kEntries)
        expected.insert(
            Describe({ResName::Ordinal(e.type), ResName::Ordinal(e.id), e.language, {}}));
    std::multiset<std::string> found;
    for (const ResourceCopy& r : all_)
        found.insert(Describe(r));
    EXPECT_EQ(expected, found);
}

// ---- The progress dialog ----

struct ExpectedControl {
    const char* what;
    WORD classOrdinal; // also accepted: the class's name, in any case
    const char* className;
    DWORD id;
    short x, y, cx, cy;
    DWORD style;
    WORD titleOrdinal; // 0: the title is the text below
    const char* text;
};

const ExpectedControl kControls[] = {
    {"cancel button", resdata::kClassButton, "button", IDCANCEL, 74, 39, 55, 16,
     static_cast<DWORD>(WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON), 0, "取消(&C)"},
    {"icon", resdata::kClassStatic, "static", static_cast<DWORD>(-1), 7, 7, 20, 20,
     static_cast<DWORD>(WS_CHILD | WS_VISIBLE | SS_ICON), IDI_MAIN, nullptr},
    {"status line", resdata::kClassStatic, "static", IDC_STATUS, 37, 16, 154, 8,
     static_cast<DWORD>(WS_CHILD | WS_VISIBLE | WS_GROUP | SS_LEFTNOWORDWRAP | SS_WORDELLIPSIS), 0,
     "正在启动 Tovix..."},
};

TEST_P(Resources, ProgressDialogTemplate) {
    const ResourceCopy* r = Find(kTypeDialog, IDD_PROGRESS);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->language, kChineseSimplified);
    resdata::DialogTemplate d;
    ASSERT_TRUE(resdata::ParseDialogEx(r->bytes.data(), r->bytes.size(), &d));

    EXPECT_EQ(d.style, static_cast<DWORD>(WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME |
                                          DS_SETFONT | DS_CENTER));
    EXPECT_EQ(d.exStyle, 0u);
    EXPECT_EQ(d.helpId, 0u);
    EXPECT_EQ(d.x, 0);
    EXPECT_EQ(d.y, 0);
    EXPECT_EQ(d.cx, 197);
    EXPECT_EQ(d.cy, 63);
    EXPECT_TRUE(d.menu.IsNone()) << Describe(d.menu);
    EXPECT_TRUE(d.windowClass.IsNone()) << Describe(d.windowClass);
    EXPECT_EQ(ToUtf8(d.title), "Tovix");
    ASSERT_TRUE(d.hasFont);
    EXPECT_EQ(d.pointSize, 9);
    EXPECT_EQ(ToUtf8(d.faceName), "宋体");
    EXPECT_EQ(d.weight, 400);
    EXPECT_EQ(d.italic, 0);
    EXPECT_EQ(d.charset, 0);

    ASSERT_EQ(d.items.size(), std::size(kControls));
    for (size_t i = 0; i < d.items.size(); ++i) {
        const ExpectedControl& want = kControls[i];
        const resdata::DialogItem& got = d.items[i];
        SCOPED_TRACE(std::string("control ") + std::to_string(i + 1) + ", the " + want.what);
        if (got.windowClass.isOrdinal)
            EXPECT_EQ(got.windowClass.ordinal, want.classOrdinal);
        else
            EXPECT_EQ(Lower(ToUtf8(got.windowClass.text)), want.className);
        EXPECT_EQ(got.id, want.id);
        EXPECT_EQ(got.x, want.x);
        EXPECT_EQ(got.y, want.y);
        EXPECT_EQ(got.cx, want.cx);
        EXPECT_EQ(got.cy, want.cy);
        EXPECT_EQ(got.style, want.style) << std::hex << got.style << " != " << want.style;
        EXPECT_EQ(got.exStyle, 0u);
        EXPECT_EQ(got.helpId, 0u);
        if (want.titleOrdinal != 0)
            EXPECT_TRUE(got.title.Is(want.titleOrdinal)) << Describe(got.title);
        else
            EXPECT_EQ(got.title, ResName::String(resdata::FromUtf8(want.text)))
                << Describe(got.title);
        EXPECT_TRUE(got.extra.empty());
    }
}

// ---- The icon ----

struct ExpectedImage {
    BYTE size;
    WORD bitCount;
    WORD id;
};

const ExpectedImage kImages[] = {{32, 8, 1}, {64, 32, 2}, {48, 32, 3}, {32, 32, 4}, {16, 32, 5}};

TEST_P(Resources, IconGroupHoldsFiveUncompressedImages) {
    const ResourceCopy* group = Find(kTypeGroupIcon, IDI_MAIN);
    ASSERT_NE(group, nullptr);
    EXPECT_EQ(group->language, kChineseSimplified);
    std::vector<resdata::GroupIconEntry> entries;
    ASSERT_TRUE(resdata::ParseGroupIcon(group->bytes.data(), group->bytes.size(), &entries));
    ASSERT_EQ(entries.size(), std::size(kImages));
    for (size_t i = 0; i < entries.size(); ++i) {
        const ExpectedImage& want = kImages[i];
        const resdata::GroupIconEntry& e = entries[i];
        SCOPED_TRACE("image " + std::to_string(i + 1) + ": " + std::to_string(want.size) + "x" +
                     std::to_string(want.size) + " at " + std::to_string(want.bitCount) + " bpp");
        EXPECT_EQ(e.width, want.size);
        EXPECT_EQ(e.height, want.size);
        EXPECT_EQ(e.colorCount, 0); // 256 colours (8 bpp) and true colour both record 0
        EXPECT_EQ(e.planes, 1);
        EXPECT_EQ(e.bitCount, want.bitCount);
        EXPECT_EQ(e.id, want.id);

        const ResourceCopy* image = Find(kTypeIcon, e.id);
        ASSERT_NE(image, nullptr);
        EXPECT_EQ(image->language, kChineseSimplified);
        EXPECT_EQ(e.bytesInRes, image->bytes.size());
        resdata::IconImageHeader h;
        ASSERT_TRUE(resdata::ParseIconImage(image->bytes.data(), image->bytes.size(), &h));
        EXPECT_FALSE(h.png);
        EXPECT_EQ(h.headerSize, 40u);
        EXPECT_EQ(h.width, want.size);
        EXPECT_EQ(h.height, 2 * want.size); // colour rows, then the AND mask's
        EXPECT_EQ(h.planes, 1);
        EXPECT_EQ(h.bitCount, want.bitCount);
        EXPECT_EQ(h.compression, 0u); // BI_RGB
        size_t palette = want.bitCount == 8 ? 256 * 4 : 0;
        size_t colour = size_t{want.size} * want.size * want.bitCount / 8;
        size_t mask = (want.size + 31u) / 32 * 4 * want.size;
        EXPECT_EQ(image->bytes.size(), 40 + palette + colour + mask);
    }
}

// ---- The version block ----

// One block of a VS_VERSIONINFO: key, value and child blocks.
struct VersionBlock {
    std::string key;
    WORD type = 0; // 1: the value is text
    std::vector<unsigned char> value;
    std::string text;
    std::vector<VersionBlock> children;
};

WORD Le16(const std::vector<unsigned char>& b, size_t at) {
    return static_cast<WORD>(b[at] | b[at + 1] << 8);
}

DWORD Le32(const std::vector<unsigned char>& b, size_t at) {
    return Le16(b, at) | static_cast<DWORD>(Le16(b, at + 2)) << 16;
}

// Reads the block at `at` (offsets count from the resource's start, which is
// DWORD-aligned, as the padding is). Returns the offset past it, or 0.
size_t ReadVersionBlock(const std::vector<unsigned char>& b, size_t at, size_t end,
                        VersionBlock* block) {
    auto align = [](size_t n) { return (n + 3) & ~size_t{3}; };
    if (at + 6 > end)
        return 0;
    size_t length = Le16(b, at);
    size_t valueLength = Le16(b, at + 2);
    block->type = Le16(b, at + 4);
    if (length < 6 || at + length > end)
        return 0;
    end = at + length;
    std::u16string key;
    size_t p = at + 6;
    for (; p + 2 <= end && Le16(b, p) != 0; p += 2)
        key.push_back(static_cast<char16_t>(Le16(b, p)));
    block->key = ToUtf8(key);
    p = align(p + 2);
    size_t valueBytes = block->type == 1 ? 2 * valueLength : valueLength;
    if (p + valueBytes > end)
        return 0;
    block->value.assign(b.begin() + p, b.begin() + p + valueBytes);
    if (block->type == 1) {
        std::u16string text;
        for (size_t q = p; q + 2 <= p + valueBytes && Le16(b, q) != 0; q += 2)
            text.push_back(static_cast<char16_t>(Le16(b, q)));
        block->text = ToUtf8(text);
    }
    for (p = align(p + valueBytes); p < end; p = align(p)) {
        VersionBlock child;
        p = ReadVersionBlock(b, p, end, &child);
        if (p == 0)
            return 0;
        block->children.push_back(std::move(child));
    }
    return end;
}

std::vector<std::string> Keys(const VersionBlock& block) {
    std::vector<std::string> keys;
    for (const VersionBlock& child : block.children)
        keys.push_back(child.key);
    return keys;
}

struct ExpectedString {
    const char* key;
    const char* value; // null: ours to word, just not empty
};

const ExpectedString kVersionStrings[] = {
    {"FileVersion", TOVIX_FILE_VERSION_TEXT},
    {"FileDescription", nullptr},
    {"ProductName", "Tovix"},
    {"ProductVersion", TOVIX_VERSION_TEXT},
    {"CompanyName", nullptr},
    {"LegalCopyright", nullptr},
    {"Comments", nullptr},
    {"OriginalFilename", "Tovix.dll"},
};

// The project version, as CMake wrote it for tovix.rc.
const DWORD kVersionMS = (TOVIX_VERSION_MAJOR << 16) | TOVIX_VERSION_MINOR;
const DWORD kVersionLS = (TOVIX_VERSION_PATCH << 16) | TOVIX_VERSION_BUILD;

TEST(VersionHeader, FourNumbersMatchTheTexts) {
    std::string numbers =
        std::to_string(TOVIX_VERSION_MAJOR) + "." + std::to_string(TOVIX_VERSION_MINOR) + "." +
        std::to_string(TOVIX_VERSION_PATCH) + "." + std::to_string(TOVIX_VERSION_BUILD);
    EXPECT_EQ(numbers, TOVIX_VERSION_TEXT);
    EXPECT_EQ(numbers + " (X86U)", TOVIX_FILE_VERSION_TEXT);
    EXPECT_EQ(numbers, TOVIX_PROJECT_VERSION) << "the project version in CMakeLists.txt";
}

TEST_P(Resources, VersionBlock) {
    const ResourceCopy* r = Find(kTypeVersion, 1);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->language, kNeutralDefault);
    VersionBlock root;
    ASSERT_EQ(ReadVersionBlock(r->bytes, 0, r->bytes.size(), &root), r->bytes.size());
    EXPECT_EQ(root.key, "VS_VERSION_INFO");

    // VS_FIXEDFILEINFO
    ASSERT_EQ(root.value.size(), 52u);
    struct {
        const char* field;
        size_t offset;
        DWORD value;
    } const fixed[] = {
        {"dwSignature", 0, 0xFEEF04BD},
        {"dwStrucVersion", 4, 0x00010000},
        {"dwFileVersionMS", 8, kVersionMS},
        {"dwFileVersionLS", 12, kVersionLS},
        {"dwProductVersionMS", 16, kVersionMS},
        {"dwProductVersionLS", 20, kVersionLS},
        {"dwFileFlagsMask", 24, 0x3F},
        {"dwFileFlags", 28, 0},
        {"dwFileOS", 32, 0x4}, // VOS__WINDOWS32
        {"dwFileType", 36, 0}, // VFT_UNKNOWN
        {"dwFileSubtype", 40, 0},
        {"dwFileDateMS", 44, 0},
        {"dwFileDateLS", 48, 0},
    };
    for (const auto& f : fixed)
        EXPECT_EQ(Le32(root.value, f.offset), f.value) << f.field;

    ASSERT_EQ(Keys(root), (std::vector<std::string>{"StringFileInfo", "VarFileInfo"}));
    const VersionBlock& strings = root.children[0];
    ASSERT_EQ(Keys(strings), std::vector<std::string>{"040004e4"});
    const VersionBlock& table = strings.children[0];
    std::vector<std::string> keys;
    for (const ExpectedString& s : kVersionStrings)
        keys.push_back(s.key);
    ASSERT_EQ(Keys(table), keys);
    for (size_t i = 0; i < table.children.size(); ++i) {
        const VersionBlock& value = table.children[i];
        EXPECT_EQ(value.type, 1) << value.key;
        if (kVersionStrings[i].value != nullptr)
            EXPECT_EQ(value.text, kVersionStrings[i].value) << value.key;
        else
            EXPECT_FALSE(value.text.empty()) << value.key;
    }

    const VersionBlock& vars = root.children[1];
    ASSERT_EQ(Keys(vars), std::vector<std::string>{"Translation"});
    EXPECT_EQ(vars.children[0].type, 0);
    // Language 0x0400, code page 0x04E4 (1252).
    EXPECT_EQ(vars.children[0].value, (std::vector<unsigned char>{0x00, 0x04, 0xE4, 0x04}));
}

INSTANTIATE_TEST_SUITE_P(Blob, Resources, testing::Values(Source::Blob));
INSTANTIATE_TEST_SUITE_P(Exe, Resources, testing::Values(Source::Exe));

// ---- The executable itself ----

TEST(ExeImage, IsA32BitWindowsGuiProgramImportingOnlySystemDlls) {
    PeImage image;
    ASSERT_TRUE(LoadExe(&image));
    EXPECT_EQ(image.optionalMagic, 0x10b) << "not PE32";
    EXPECT_EQ(image.machine, 0x14c) << "not i386";
    EXPECT_EQ(image.subsystem, 2) << "not IMAGE_SUBSYSTEM_WINDOWS_GUI";

    static const char* const kSystemDlls[] = {"kernel32.dll", "user32.dll",   "shlwapi.dll",
                                              "wininet.dll",  "rasapi32.dll", "rasdlg.dll",
                                              "msvcrt.dll"};
    std::string all;
    std::vector<std::string> others;
    for (const std::string& dll : image.imports) {
        all += (all.empty() ? "" : ", ") + dll;
        std::string name = Lower(dll);
        bool system = name.rfind("api-ms-win-", 0) == 0 ||
                      std::find(std::begin(kSystemDlls), std::end(kSystemDlls), name) !=
                          std::end(kSystemDlls);
        if (!system)
            others.push_back(dll);
    }
    EXPECT_FALSE(image.imports.empty());
    EXPECT_TRUE(others.empty()) << "imports DLLs that are not part of Windows; all imports: "
                                << all;
}

// ---- The reader on bad input ----

TEST(ResourceReader, RejectsEveryTruncationOfTheResFile) {
    size_t size = 0;
    const unsigned char* blob = TovixResourceBlob(&size);
    std::vector<resdata::Resource> all;
    ASSERT_TRUE(resdata::ParseResFile(blob, size, &all));
    ASSERT_EQ(all.size(), 8u);
    const std::vector<resdata::Resource> whole = all;
    // Each cut is copied to a heap buffer of exactly its size, so that the
    // sanitizers catch a read past its end. A cut between records still
    // parses, as the records before it; any other cut must not.
    for (size_t cut = 0; cut < size; cut += 1 + cut / 256) {
        std::vector<unsigned char> part(blob, blob + cut);
        if (!resdata::ParseResFile(part.data(), part.size(), &all))
            continue;
        ASSERT_LT(all.size(), whole.size()) << cut;
        for (size_t i = 0; i < all.size(); ++i) {
            EXPECT_EQ(all[i].data - part.data(), whole[i].data - blob) << cut;
            EXPECT_EQ(all[i].size, whole[i].size) << cut;
        }
        if (!all.empty()) {
            const resdata::Resource& last = whole[all.size() - 1];
            EXPECT_GE(cut, static_cast<size_t>(last.data - blob) + last.size);
        }
        EXPECT_LT(cut, static_cast<size_t>(whole[all.size()].data - blob)) << cut;
    }
}

TEST(ResourceReader, RejectsEveryTruncationOfTheTemplates) {
    size_t size = 0;
    const unsigned char* blob = TovixResourceBlob(&size);
    std::vector<resdata::Resource> all;
    ASSERT_TRUE(resdata::ParseResFile(blob, size, &all));
    const resdata::Resource* dialog = resdata::FindResourceEntry(all, kTypeDialog, IDD_PROGRESS);
    const resdata::Resource* group = resdata::FindResourceEntry(all, kTypeGroupIcon, IDI_MAIN);
    const resdata::Resource* icon = resdata::FindResourceEntry(all, kTypeIcon, 5);
    ASSERT_TRUE(dialog && group && icon);
    for (size_t cut = 0; cut < dialog->size; ++cut) {
        std::vector<unsigned char> part(dialog->data, dialog->data + cut);
        resdata::DialogTemplate d;
        EXPECT_FALSE(resdata::ParseDialogEx(part.data(), part.size(), &d)) << cut;
    }
    for (size_t cut = 0; cut < group->size; ++cut) {
        std::vector<unsigned char> part(group->data, group->data + cut);
        std::vector<resdata::GroupIconEntry> entries;
        EXPECT_FALSE(resdata::ParseGroupIcon(part.data(), part.size(), &entries)) << cut;
    }
    for (size_t cut = 0; cut < 40; ++cut) {
        std::vector<unsigned char> part(icon->data, icon->data + cut);
        resdata::IconImageHeader h;
        EXPECT_FALSE(resdata::ParseIconImage(part.data(), part.size(), &h)) << cut;
    }
    EXPECT_EQ(resdata::FindResourceEntry(all, kTypeDialog, IDD_PROGRESS, kNeutralDefault), nullptr);
    EXPECT_EQ(resdata::FindResourceEntry(all, kTypeDialog, IDD_PROGRESS, kChineseSimplified),
              dialog);
}

TEST(ResourceReader, ConvertsBetweenUtf16AndUtf8) {
    const std::u16string text = u"正在启动 Tovix... \U0001F310";
    EXPECT_EQ(ToUtf8(text), "正在启动 Tovix... \xF0\x9F\x8C\x90");
    EXPECT_EQ(resdata::FromUtf8(ToUtf8(text)), text);
    EXPECT_EQ(ToUtf8(std::u16string(1, u'\xD800')), "\xEF\xBF\xBD");
    EXPECT_EQ(resdata::FromUtf8("a\xC0\x80z\xE4\xB8"), u"a\uFFFD\uFFFDz\uFFFD\uFFFD");
    std::vector<WCHAR> wide = resdata::ToWide(u"宋体");
    ASSERT_EQ(wide.size(), 3u);
    EXPECT_EQ(wide[0], 0x5B8B);
    EXPECT_EQ(wide[1], 0x4F53);
    EXPECT_EQ(wide[2], 0);
}

} // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--exe=", 6) == 0)
            g_exePath = argv[i] + 6;
    }
    return RUN_ALL_TESTS();
}
