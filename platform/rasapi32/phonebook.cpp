/* Reader of the host phonebook (see phonebook.h for the format). */
#include "rasapi32/phonebook.h"
#include "common/text.h"
#include "driver/driver.h"

#include <ras.h>

#include <cerrno>
#include <fstream>
#include <sstream>

namespace tovix {

std::string DefaultPhonebookPath() {
    return Environment("TOVIX_PHONEBOOK", "/etc/ppp/rasphone.pbk");
}

static std::string Trim(const std::string& s) {
    size_t b = 0;
    size_t e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t' || s[b] == '\r')) {
        ++b;
    }
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r')) {
        --e;
    }
    return s.substr(b, e - b);
}

static bool IsTrue(const std::string& v) {
    return v == "1" || v == "yes" || v == "true";
}

void ParsePhonebook(const std::string& text, Phonebook* out) {
    std::istringstream in(text);
    std::string line;
    PhonebookEntry* current = nullptr;
    bool first = true;
    while (std::getline(in, line)) {
        if (first && line.compare(0, 3, "\xEF\xBB\xBF") == 0) {
            line.erase(0, 3); // UTF-8 byte order mark
        }
        first = false;
        line = Trim(line);
        if (line.empty() || line[0] == ';' || line[0] == '#') {
            continue;
        }
        if (line[0] == '[') {
            current = nullptr;
            size_t close = line.rfind(']');
            if (close == std::string::npos || close == 0) {
                continue; // not a section header: ignored
            }
            std::u16string name = Utf8ToUtf16(line.substr(1, close - 1));
            if (name.empty() || name.size() > RAS_MaxEntryName) {
                continue;
            }
            bool duplicate = false;
            for (const PhonebookEntry& e : out->entries) {
                duplicate = duplicate || e.name == name;
            }
            if (!duplicate) {
                out->entries.push_back(PhonebookEntry{});
                current = &out->entries.back();
                current->name = name;
            }
            continue;
        }
        size_t eq = line.find('=');
        if (!current || eq == std::string::npos) {
            continue;
        }
        std::string key = Trim(line.substr(0, eq));
        std::string value = Trim(line.substr(eq + 1));
        if (key == "PreviewUserPw") {
            current->previewUserPw = IsTrue(value);
        } else if (key == "PreviewPhoneNumber") {
            current->previewPhoneNumber = IsTrue(value);
        } else if (key == "PhoneNumber") {
            current->phoneNumber = Utf8ToUtf16(value).substr(0, RAS_MaxPhoneNumber);
        } else if (key == "User") {
            current->userName = Utf8ToUtf16(value).substr(0, UNLEN);
        } else if (key == "Device") {
            current->device = Utf8ToUtf16(value).substr(0, RAS_MaxDeviceName);
        }
    }
}

DWORD LoadPhonebook(LPCWSTR path, Phonebook* out) {
    out->path = path ? Utf16ToUtf8(path) : DefaultPhonebookPath();
    out->entries.clear();
    std::ifstream file(out->path, std::ios::binary);
    if (!file) {
        return errno == ENOENT || errno == ENOTDIR ? 0 : ERROR_CANNOT_OPEN_PHONEBOOK;
    }
    std::ostringstream text;
    text << file.rdbuf();
    if (file.bad()) {
        return ERROR_CANNOT_OPEN_PHONEBOOK;
    }
    ParsePhonebook(text.str(), out);
    return 0;
}

const PhonebookEntry* FindEntry(const Phonebook& book, LPCWSTR name) {
    if (!name) {
        return nullptr;
    }
    std::u16string wanted(AsU16(name), WideLength(name));
    for (const PhonebookEntry& e : book.entries) {
        if (e.name == wanted) {
            return &e;
        }
    }
    return nullptr;
}

} // namespace tovix
