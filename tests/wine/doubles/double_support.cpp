/*
 * Phonebook reading and call logging for the remote-access test doubles.
 * See double_support.h for the file formats.
 */
#include "double_support.h"

#include <stdarg.h>
#include <stdio.h>

static std::wstring Environment(LPCWSTR name) {
    WCHAR value[MAX_PATH * 2];
    DWORD length = GetEnvironmentVariableW(name, value, sizeof(value) / sizeof(value[0]));
    if (length == 0 || length >= sizeof(value) / sizeof(value[0])) {
        return std::wstring();
    }
    return std::wstring(value, length);
}

static std::wstring Wide(const std::string& text) {
    if (text.empty()) {
        return std::wstring();
    }
    int length =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), NULL, 0);
    std::wstring result(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &result[0], length);
    return result;
}

std::string Utf8(LPCWSTR text) {
    if (!text) {
        return "null";
    }
    int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, NULL, 0, NULL, NULL);
    if (length <= 1) {
        return std::string();
    }
    std::string result(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, &result[0], length, NULL, NULL);
    result.resize(static_cast<size_t>(length - 1));
    return result;
}

static std::string ReadWholeFile(const std::wstring& path) {
    std::string content;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        return content;
    }
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &read, NULL) && read > 0) {
        content.append(buffer, read);
    }
    CloseHandle(file);
    return content;
}

static std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t end = text.find(separator, start);
        if (end == std::string::npos) {
            parts.push_back(text.substr(start));
            return parts;
        }
        parts.push_back(text.substr(start, end - start));
        start = end + 1;
    }
}

std::vector<PhonebookEntry> ReadPhonebook() {
    std::vector<PhonebookEntry> book;
    std::wstring path = Environment(L"TOVIX_DOUBLE_PHONEBOOK");
    if (path.empty()) {
        return book;
    }
    for (std::string line : Split(ReadWholeFile(path), '\n')) {
        if (!line.empty() && line[line.size() - 1] == '\r') {
            line.resize(line.size() - 1);
        }
        if (line.empty() || line[0] == '#') {
            continue;
        }
        std::vector<std::string> fields = Split(line, '|');
        PhonebookEntry entry;
        entry.name = Wide(fields[0]);
        entry.options = fields.size() > 1 ? strtoul(fields[1].c_str(), NULL, 16) : 0;
        entry.failProperties = fields.size() > 2 && fields[2] == "1";
        entry.failDialParams = fields.size() > 3 && fields[3] == "1";
        entry.failDial = fields.size() > 4 && fields[4] == "1";
        book.push_back(entry);
    }
    return book;
}

const PhonebookEntry* FindEntry(const std::vector<PhonebookEntry>& book, LPCWSTR name) {
    if (!name) {
        return NULL;
    }
    for (const PhonebookEntry& entry : book) {
        if (lstrcmpiW(entry.name.c_str(), name) == 0) {
            return &entry;
        }
    }
    return NULL;
}

void LogLine(const std::string& line) {
    std::wstring path = Environment(L"TOVIX_DOUBLE_LOG");
    if (path.empty()) {
        return;
    }
    HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        return;
    }
    std::string text = line + "\n";
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, NULL);
    CloseHandle(file);
}

std::string Format(const char* format, ...) {
    char buffer[2048];
    va_list args;
    va_start(args, format);
    vsnprintf(buffer, sizeof(buffer), format, args);
    va_end(args);
    return buffer;
}

bool CheckSize(const char* call, const char* what, DWORD got, DWORD want) {
    if (got == want) {
        return true;
    }
    LogLine(Format("SIZE-MISMATCH %s %s=%lu expected %lu", call, what,
                   static_cast<unsigned long>(got), static_cast<unsigned long>(want)));
    return false;
}

std::string TickField() {
    return Format("tick=%lu", static_cast<unsigned long>(GetTickCount()));
}
