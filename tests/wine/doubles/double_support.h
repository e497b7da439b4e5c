/*
 * Shared part of the remote-access test doubles (rasapi32.dll, rasdlg.dll)
 * loaded into the real Tovix.exe under Wine. They stand in for the system
 * phonebook and dialler: the phonebook comes from a UTF-8 file named by
 * TOVIX_DOUBLE_PHONEBOOK, and every call is logged, one UTF-8 line each, to
 * the file named by TOVIX_DOUBLE_LOG. Record sizes that differ from the
 * Windows XP sizes are logged as SIZE-MISMATCH lines; nothing here ever
 * aborts the process.
 *
 * Phonebook file: one entry a line, "name|options-hex|fail-props|
 * fail-params|fail-dial" (the last three 0 or 1, optional); blank lines and
 * lines starting with '#' are skipped. No file means an empty phonebook.
 */
#ifndef TOVIX_TESTS_WINE_DOUBLE_SUPPORT_H
#define TOVIX_TESTS_WINE_DOUBLE_SUPPORT_H

#include <windows.h>

#include <string>
#include <vector>

// The Windows XP record sizes that Tovix must pass. The dial parameters and
// the dial dialog's record end in pointer-sized fields, so a 64-bit Tovix
// passes larger ones (the headers pack them to 4 bytes on either width).
#define XP_RASENTRYNAMEW_SIZE 1048u
#define XP_RASENTRYW_SIZE 5616u
#define XP_RASDIALPARAMSW_SIZE (sizeof(void*) == 4 ? 2104u : 2108u)
#define XP_RASDIALDLG_SIZE (sizeof(void*) == 4 ? 36u : 48u)

struct PhonebookEntry {
    std::wstring name;
    DWORD options;
    bool failProperties;
    bool failDialParams;
    bool failDial;
};

// Reads the phonebook file again on every call: the doubles keep no state.
std::vector<PhonebookEntry> ReadPhonebook();

// Finds an entry by name (case-insensitive, as the system does); NULL if none.
const PhonebookEntry* FindEntry(const std::vector<PhonebookEntry>& book, LPCWSTR name);

// UTF-8 form of a wide string; "null" for a null pointer.
std::string Utf8(LPCWSTR text);

// Appends one line (a terminating newline is added) to the call log.
void LogLine(const std::string& line);

// printf-style formatting into a std::string.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Logs "SIZE-MISMATCH <call> <what>=<got> expected <want>" when they differ;
// returns true when they match.
bool CheckSize(const char* call, const char* what, DWORD got, DWORD want);

// Milliseconds from GetTickCount, shared by all processes of the prefix, so
// the log can be ordered against the automation helper's observations.
std::string TickField();

#endif
