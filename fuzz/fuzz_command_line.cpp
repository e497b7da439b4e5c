/*
 * ParseCommandLine against a small model of its splitting rules.
 *
 * One input is tried three ways: its bytes as UTF-16LE units, its bytes as
 * UTF-8 (tovix::Utf8ToUtf16), and its bytes split at NUL into argv and joined
 * by tovix::ArgumentText, as the host start-up code does. Each time the
 * settings start from their defaults with junk after each terminator, and
 * afterwards every field must be terminated within its 32 units, hold no
 * U+0020, and equal what the model computes; the result must be the silent
 * flag.
 *
 * The model: silent when the first seven units equal "-Slient" ignoring ASCII
 * case; silent mode drops eight units (seven when the text ends there); the
 * rest is cut at every U+0020 into words; word i (i < 3) sets field i, cut to
 * 31 units, except that a missing word or an empty word at the very end keeps
 * the field's default.
 */
#include "app/settings.h"
#include "common/text.h"
#include "start/args.h"

#include "fuzz_support.h"

#include <cstring>
#include <vector>

namespace {

const std::u16string kDefaults[3] = {tovix::AsU16(DEFAULT_HOST_NAME),
                                     tovix::AsU16(DEFAULT_USER_NAME),
                                     tovix::AsU16(DEFAULT_PASSWORD)};

struct Expected {
    bool silent = false;
    std::u16string fields[3];
};

char16_t AsciiLower(char16_t c) {
    return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c;
}

Expected Model(const std::u16string& text) {
    Expected e;
    const std::u16string kSwitch = u"-slient";
    e.silent = text.size() >= kSwitch.size();
    for (size_t i = 0; e.silent && i < kSwitch.size(); ++i) {
        e.silent = AsciiLower(text[i]) == kSwitch[i];
    }
    size_t skip = !e.silent                      ? 0
                  : text.size() > kSwitch.size() ? kSwitch.size() + 1
                                                 : kSwitch.size();
    std::u16string rest = text.substr(skip);

    std::vector<std::u16string> words(1);
    for (char16_t c : rest) {
        if (c == u' ') {
            words.emplace_back();
        } else {
            words.back().push_back(c);
        }
    }
    for (size_t i = 0; i < 3; ++i) {
        bool last = i + 1 == words.size();
        if (i >= words.size() || (last && words[i].empty())) {
            e.fields[i] = kDefaults[i];
        } else {
            e.fields[i] = words[i].substr(0, SETTINGS_FIELD_CHARS - 1);
        }
    }
    return e;
}

WCHAR* Field(int i) {
    WCHAR* fields[] = {UpdateSettings.szHostName, UpdateSettings.szUserName,
                       UpdateSettings.szPassword};
    return fields[i];
}

void ResetSettings() {
    for (int i = 0; i < 3; ++i) {
        WCHAR* f = Field(i);
        for (int k = 0; k < SETTINGS_FIELD_CHARS; ++k) {
            f[k] = static_cast<WCHAR>(0xAAAA); // junk after the terminator
        }
        std::memcpy(f, kDefaults[i].c_str(), (kDefaults[i].size() + 1) * sizeof(WCHAR));
    }
}

void Check(std::u16string text, const char* how) {
    text = text.substr(0, text.find(u'\0')); // the parser sees a terminated string
    const Expected e = Model(text);
    ResetSettings();
    BOOL silent = ParseCommandLine(tovix::AsWide(text));

    std::string context = std::string(how) + " text " + fuzz::Show(text);
    FUZZ_CHECK((silent != FALSE) == e.silent, context + ": returned " + std::to_string(silent) +
                                                  ", model says " + std::to_string(e.silent));
    for (int i = 0; i < 3; ++i) {
        const WCHAR* f = Field(i);
        int length = 0;
        while (length < SETTINGS_FIELD_CHARS && f[length]) {
            ++length;
        }
        FUZZ_CHECK(length < SETTINGS_FIELD_CHARS,
                   context + ": field " + std::to_string(i) + " not terminated");
        std::u16string got(tovix::AsU16(f), length);
        FUZZ_CHECK(got.find(u' ') == std::u16string::npos,
                   context + ": field " + std::to_string(i) + " holds a space: " + fuzz::Show(got));
        FUZZ_CHECK(got == e.fields[i], context + ": field " + std::to_string(i) + " is " +
                                           fuzz::Show(got) + ", model says " +
                                           fuzz::Show(e.fields[i]));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Check(fuzz::Utf16LE(data, size), "UTF-16LE");

    std::string bytes(reinterpret_cast<const char*>(data), size);
    Check(tovix::Utf8ToUtf16(bytes), "UTF-8");

    // argv as the host start-up code gets it: NUL-separated words.
    std::vector<std::string> words(1, "tovix");
    words.emplace_back();
    for (char c : bytes) {
        if (c) {
            words.back().push_back(c);
        } else {
            words.emplace_back();
        }
    }
    std::vector<const char*> argv;
    for (const std::string& w : words) {
        argv.push_back(w.c_str());
    }
    std::u16string text = tovix::ArgumentText(static_cast<int>(argv.size()), argv.data());
    FUZZ_CHECK(text.empty() || text[0] > u' ',
               "ArgumentText kept a leading blank: " + fuzz::Show(text));
    Check(text, "argv");
    return 0;
}
