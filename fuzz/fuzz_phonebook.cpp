/*
 * tovix::ParsePhonebook on arbitrary text: no crash, every entry has a
 * non-empty name of at most RAS_MaxEntryName units, no two entries share a
 * name, the values fit their RAS fields, there are no more entries than
 * section headers, and parsing is repeatable.
 */
#include "rasapi32/phonebook.h"

#include "fuzz_support.h"

#include <ras.h>

#include <algorithm>
#include <set>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    tovix::Phonebook book;
    tovix::ParsePhonebook(text, &book);

    std::set<std::u16string> names;
    for (const tovix::PhonebookEntry& e : book.entries) {
        FUZZ_CHECK(!e.name.empty(), "an entry without a name");
        FUZZ_CHECK(e.name.size() <= RAS_MaxEntryName,
                   "entry name of " + std::to_string(e.name.size()) + " units");
        FUZZ_CHECK(names.insert(e.name).second, "two entries named " + fuzz::Show(e.name));
        FUZZ_CHECK(e.phoneNumber.size() <= RAS_MaxPhoneNumber,
                   "phone number of " + std::to_string(e.phoneNumber.size()) + " units");
        FUZZ_CHECK(e.userName.size() <= UNLEN,
                   "user name of " + std::to_string(e.userName.size()) + " units");
        FUZZ_CHECK(e.device.size() <= RAS_MaxDeviceName,
                   "device name of " + std::to_string(e.device.size()) + " units");
    }
    size_t headers = static_cast<size_t>(std::count(text.begin(), text.end(), '['));
    FUZZ_CHECK(book.entries.size() <= headers, std::to_string(book.entries.size()) +
                                                   " entries from " + std::to_string(headers) +
                                                   " '['");

    tovix::Phonebook again;
    tovix::ParsePhonebook(text, &again);
    FUZZ_CHECK(again.entries.size() == book.entries.size(), "a second parse differs");
    for (size_t i = 0; i < book.entries.size(); ++i) {
        const tovix::PhonebookEntry& a = book.entries[i];
        const tovix::PhonebookEntry& b = again.entries[i];
        FUZZ_CHECK(a.name == b.name && a.phoneNumber == b.phoneNumber && a.userName == b.userName &&
                       a.device == b.device && a.previewUserPw == b.previewUserPw &&
                       a.previewPhoneNumber == b.previewPhoneNumber,
                   "a second parse differs at entry " + std::to_string(i));
    }
    return 0;
}
