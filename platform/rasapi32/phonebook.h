/*
 * The host's system phonebook: an INI-style rasphone.pbk, one "[Entry name]"
 * section per entry in file order, with keys such as PreviewUserPw=1 and
 * PhoneNumber=. It is read from /etc/ppp/rasphone.pbk, or from the file that
 * the environment variable TOVIX_PHONEBOOK names. A missing file is an empty
 * phonebook.
 */
#ifndef TOVIX_PLATFORM_RASAPI32_PHONEBOOK_H
#define TOVIX_PLATFORM_RASAPI32_PHONEBOOK_H

#include <windows.h>

#include <string>
#include <vector>

namespace tovix {

struct PhonebookEntry {
    std::u16string name;
    bool previewUserPw = false;
    bool previewPhoneNumber = false;
    std::u16string phoneNumber;
    std::u16string userName;
    std::u16string device;
};

struct Phonebook {
    std::string path; // UTF-8 file name
    std::vector<PhonebookEntry> entries;
};

// The path of the default phonebook.
std::string DefaultPhonebookPath();

// Reads the phonebook at path (UTF-16, or null for the default). Returns 0,
// or ERROR_CANNOT_OPEN_PHONEBOOK when the file exists but cannot be read.
// Entries with an empty name or one longer than RAS_MaxEntryName are left
// out, as are later sections repeating an earlier entry's name.
DWORD LoadPhonebook(LPCWSTR path, Phonebook* out);

// Parses phonebook text (exposed for tests and fuzzing).
void ParsePhonebook(const std::string& text, Phonebook* out);

const PhonebookEntry* FindEntry(const Phonebook& book, LPCWSTR name);

} // namespace tovix

#endif
