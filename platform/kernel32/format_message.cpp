/*
 * FormatMessageW and LocalFree for the host.
 *
 * Sources: FORMAT_MESSAGE_FROM_HMODULE with the Internet library's module
 * (GetModuleHandleW(L"WinInet")) reads its message table; the program's
 * module has none. FORMAT_MESSAGE_FROM_SYSTEM reads the system's table, after
 * the module's when both are given. The tables are in messages.cpp.
 *
 * Language: 0 and the user default (0x0400) follow the user's locale, taken
 * from LC_ALL, then LC_MESSAGES, then LANG (the first that is set): "zh..."
 * gives Simplified Chinese (0x0804), anything else English (0x0409). Those
 * two may also be asked for by number; any other language fails with
 * ERROR_RESOURCE_LANG_NOT_FOUND.
 *
 * Output: the text as stored, CR LF at the end; the count returned leaves out
 * the terminator, which nSize must leave room for (else
 * ERROR_INSUFFICIENT_BUFFER). With FORMAT_MESSAGE_ALLOCATE_BUFFER the text
 * goes into a block that LocalFree releases; LocalFree knows only such
 * blocks and refuses anything else. No text: ERROR_MR_MID_NOT_FOUND.
 *
 * Left out: FORMAT_MESSAGE_FROM_STRING, insert sequences and argument lists
 * (no stored text has inserts, so FORMAT_MESSAGE_IGNORE_INSERTS changes
 * nothing), line-width formatting, other modules' tables.
 */
#include <windows.h>
#include "common/modules.h"
#include "common/text.h"
#include "driver/driver.h"

#include <stdlib.h>
#include <string.h>

#include <mutex>
#include <set>

#define ERROR_RESOURCE_LANG_NOT_FOUND 15100L
#define LANG_USER_DEFAULT_ID 0x0400
#define LANG_ENGLISH_US_ID 0x0409
#define LANG_CHINESE_SIMPLIFIED_ID 0x0804

namespace tovix::messages {
enum class Table { System, WinInet };
const char* FindMessage(Table table, DWORD id, bool chinese); // messages.cpp
} // namespace tovix::messages

namespace {

std::mutex g_blocksMutex;
std::set<void*>& Blocks() {
    static auto* blocks = new std::set<void*>(); // never freed, like the thread table
    return *blocks;
}

DWORD Fail(DWORD error) {
    SetLastError(error);
    return 0;
}

// The language a caller asks for: the user's (0 or LANG_USER_DEFAULT),
// English or Simplified Chinese; false for any other.
bool ChooseLanguage(DWORD language, bool* chinese) {
    switch (language) {
    case 0:
    case LANG_USER_DEFAULT_ID:
        *chinese = tovix::UserLocaleIsChinese();
        return true;
    case LANG_ENGLISH_US_ID:
        *chinese = false;
        return true;
    case LANG_CHINESE_SIMPLIFIED_ID:
        *chinese = true;
        return true;
    default:
        return false;
    }
}

} // namespace

DWORD FormatMessageW(DWORD flags, LPCVOID source, DWORD id, DWORD language, LPWSTR buffer,
                     DWORD size, void*) {
    using tovix::messages::FindMessage;
    using tovix::messages::Table;
    bool fromModule = (flags & FORMAT_MESSAGE_FROM_HMODULE) != 0;
    bool fromSystem = (flags & FORMAT_MESSAGE_FROM_SYSTEM) != 0;
    if (flags & FORMAT_MESSAGE_FROM_STRING) {
        return Fail(ERROR_NOT_SUPPORTED);
    }
    if ((!fromModule && !fromSystem) || !buffer) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    bool chinese = false;
    if (!ChooseLanguage(language, &chinese)) {
        return Fail(ERROR_RESOURCE_LANG_NOT_FOUND);
    }

    const char* text = nullptr;
    DWORD notFound = ERROR_MR_MID_NOT_FOUND;
    if (fromModule) {
        if (static_cast<HMODULE>(const_cast<void*>(source)) == tovix::WinInetModule()) {
            text = FindMessage(Table::WinInet, id, chinese);
        } else {
            notFound = ERROR_RESOURCE_TYPE_NOT_FOUND; // a module without a message table
        }
    }
    if (!text && fromSystem) {
        text = FindMessage(Table::System, id, chinese);
        notFound = ERROR_MR_MID_NOT_FOUND;
    }
    if (!text) {
        return Fail(notFound);
    }

    std::u16string message = tovix::Utf8ToUtf16(text);
    size_t needed = message.size() + 1;
    WCHAR* out = buffer;
    if (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
        size_t chars = needed > size ? needed : size;
        out = static_cast<WCHAR*>(calloc(chars, sizeof(WCHAR)));
        if (!out) {
            return Fail(ERROR_NOT_ENOUGH_MEMORY);
        }
        {
            std::lock_guard<std::mutex> lock(g_blocksMutex);
            Blocks().insert(out);
        }
        *reinterpret_cast<LPWSTR*>(buffer) = out;
    } else if (needed > size) {
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    memcpy(out, message.data(), message.size() * sizeof(WCHAR));
    out[message.size()] = 0;
    return static_cast<DWORD>(message.size());
}

HLOCAL LocalFree(HLOCAL block) {
    if (!block) {
        return nullptr;
    }
    {
        std::lock_guard<std::mutex> lock(g_blocksMutex);
        if (Blocks().erase(block) == 0) {
            SetLastError(ERROR_INVALID_HANDLE);
            return block;
        }
    }
    free(block);
    return nullptr;
}
