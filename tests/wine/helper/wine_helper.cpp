/*
 * Automation helper for the Wine tests of the real Tovix.exe. A console
 * program run under the same wineserver as Tovix: it finds the progress
 * dialog, reads its status line and button, presses keys the way a user
 * would (through the dialog's own keyboard handling), starts Tovix with a
 * hand-made command line, and stands in for an update server that answers
 * late, never, or with a scripted response. It prints UTF-8. Exit status: 0 when what was awaited
 * happened, 1 when it did not, 2 for a usage error.
 */
#include <winsock2.h>
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#define IDC_STATUS 102
#define POLL_MS 25

static const WCHAR DialogClass[] = L"#32770";
static const WCHAR DialogCaption[] = L"Tovix";

// ---- output -----------------------------------------------------------------

static std::string Utf8(const std::wstring& text) {
    if (text.empty()) {
        return std::string();
    }
    int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), NULL,
                                     0, NULL, NULL);
    std::string result(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &result[0], length,
                        NULL, NULL);
    return result;
}

static void Print(const std::string& text) {
    std::string line = text + "\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line.data(), static_cast<DWORD>(line.size()),
              &written, NULL);
}

static std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
static std::string Format(const char* format, ...) {
    char buffer[4096];
    va_list args;
    va_start(args, format);
    vsnprintf(buffer, sizeof(buffer), format, args);
    va_end(args);
    return buffer;
}

static unsigned long Ms(DWORD value) {
    return static_cast<unsigned long>(value);
}

// ---- the progress dialog ------------------------------------------------------

static HWND FindDialog() {
    return FindWindowW(DialogClass, DialogCaption);
}

static std::wstring WindowText(HWND window) {
    WCHAR text[1024];
    // WM_GETTEXT rather than GetWindowTextW: the latter does not ask windows
    // of other processes for their text.
    LRESULT length = SendMessageW(window, WM_GETTEXT, sizeof(text) / sizeof(text[0]),
                                  reinterpret_cast<LPARAM>(text));
    return std::wstring(text, static_cast<size_t>(length));
}

static std::wstring StatusText(HWND dialog) {
    HWND status = GetDlgItem(dialog, IDC_STATUS);
    return status ? WindowText(status) : std::wstring();
}

static std::string ButtonState(HWND dialog) {
    HWND button = GetDlgItem(dialog, IDCANCEL);
    if (!button) {
        return "caption=? enabled=?";
    }
    return "caption=" + Utf8(WindowText(button)) +
           Format(" enabled=%d", IsWindowEnabled(button) ? 1 : 0);
}

// Waits for the dialog to exist; NULL after the timeout.
static HWND WaitDialog(DWORD timeout) {
    DWORD start = GetTickCount();
    for (;;) {
        HWND dialog = FindDialog();
        if (dialog || GetTickCount() - start >= timeout) {
            return dialog;
        }
        Sleep(POLL_MS);
    }
}

static HWND RequireDialog() {
    HWND dialog = FindDialog();
    if (!dialog) {
        Print("no Tovix window");
    }
    return dialog;
}

static int WaitWindow(DWORD timeout) {
    DWORD start = GetTickCount();
    HWND dialog = WaitDialog(timeout);
    if (!dialog) {
        Print(Format("no Tovix window within %lu ms", Ms(timeout)));
        return 1;
    }
    Print(Format("window found after %lu ms tick=%lu", Ms(GetTickCount() - start),
                 Ms(GetTickCount())));
    return 0;
}

static int Absent(DWORD duration) {
    DWORD start = GetTickCount();
    while (GetTickCount() - start < duration) {
        if (FindDialog()) {
            Print(Format("Tovix window present after %lu ms", Ms(GetTickCount() - start)));
            return 1;
        }
        Sleep(POLL_MS);
    }
    Print(Format("no Tovix window during %lu ms", Ms(duration)));
    return 0;
}

static int Status() {
    HWND dialog = RequireDialog();
    if (!dialog) {
        return 1;
    }
    Print(Utf8(StatusText(dialog)));
    return 0;
}

static int Button() {
    HWND dialog = RequireDialog();
    if (!dialog) {
        return 1;
    }
    Print(ButtonState(dialog));
    return 0;
}

static int WaitText(const std::wstring& wanted, DWORD timeout) {
    DWORD start = GetTickCount();
    std::wstring text;
    for (;;) {
        HWND dialog = FindDialog();
        if (dialog) {
            text = StatusText(dialog);
            if (text.find(wanted) != std::wstring::npos) {
                // The button too, read at the same moment: a finished dialog
                // may close itself soon after.
                Print(Format("status after %lu ms tick=%lu [", Ms(GetTickCount() - start),
                             Ms(GetTickCount())) +
                      ButtonState(dialog) + "]: " + Utf8(text));
                return 0;
            }
        }
        if (GetTickCount() - start >= timeout) {
            Print("status never contained \"" + Utf8(wanted) + "\"; last: \"" + Utf8(text) +
                  (dialog ? "\"" : "\" (no window)"));
            return 1;
        }
        Sleep(POLL_MS);
    }
}

static int WaitButton(const std::wstring& caption, int enabled, DWORD timeout) {
    DWORD start = GetTickCount();
    std::string last = "no window";
    for (;;) {
        HWND dialog = FindDialog();
        HWND button = dialog ? GetDlgItem(dialog, IDCANCEL) : NULL;
        if (button) {
            last = ButtonState(dialog);
            if (WindowText(button) == caption && (IsWindowEnabled(button) ? 1 : 0) == enabled) {
                Print(Format("button after %lu ms: ", Ms(GetTickCount() - start)) + last);
                return 0;
            }
        }
        if (GetTickCount() - start >= timeout) {
            Print("button never became caption=" + Utf8(caption) +
                  Format(" enabled=%d; last: ", enabled) + last);
            return 1;
        }
        Sleep(POLL_MS);
    }
}

static int WaitGone(DWORD timeout) {
    DWORD start = GetTickCount();
    while (FindDialog()) {
        if (GetTickCount() - start >= timeout) {
            Print(Format("Tovix window still there after %lu ms", Ms(timeout)));
            return 1;
        }
        Sleep(POLL_MS);
    }
    Print(Format("window gone after %lu ms tick=%lu", Ms(GetTickCount() - start),
                 Ms(GetTickCount())));
    return 0;
}

// Follows the dialog from its appearance to its end and prints every change
// of its status line and button as it happens, with GetTickCount ticks:
//   tick=T waiting | tick=T window | tick=T status=TEXT |
//   tick=T button=CAPTION enabled=0|1 | tick=T gone
// For runs that end by themselves, where asking step by step could come too
// late. Exit 0 when the window came and went within TIMEOUT_MS.
static int Record(DWORD timeout) {
    DWORD start = GetTickCount();
    Print(Format("tick=%lu waiting", Ms(start)));
    HWND dialog = NULL;
    while (!(dialog = FindDialog())) {
        if (GetTickCount() - start >= timeout) {
            Print(Format("tick=%lu no window", Ms(GetTickCount())));
            return 1;
        }
        Sleep(5);
    }
    Print(Format("tick=%lu window", Ms(GetTickCount())));
    std::wstring lastStatus;
    std::string lastButton;
    bool first = true;
    while (IsWindow(dialog)) {
        // Before its controls exist (while it is being created) and after
        // they are gone (while it is being destroyed) there is nothing to read.
        if (!GetDlgItem(dialog, IDCANCEL) || !GetDlgItem(dialog, IDC_STATUS)) {
            Sleep(5);
            continue;
        }
        std::wstring status = StatusText(dialog);
        std::string button = ButtonState(dialog);
        DWORD now = GetTickCount();
        // Destroyed while being read: what was read is not the dialog's.
        if (!GetDlgItem(dialog, IDCANCEL) || !GetDlgItem(dialog, IDC_STATUS)) {
            continue;
        }
        if (first || status != lastStatus) {
            Print(Format("tick=%lu status=", Ms(now)) + Utf8(status));
            lastStatus = status;
        }
        if (first || button != lastButton) {
            Print(Format("tick=%lu button=", Ms(now)) + button.substr(8));
            lastButton = button;
        }
        first = false;
        if (now - start >= timeout) {
            Print(Format("tick=%lu still there", Ms(now)));
            return 1;
        }
        Sleep(5);
    }
    Print(Format("tick=%lu gone", Ms(GetTickCount())));
    return 0;
}

// Posts a key press to the dialog's focus window (or to the dialog when no
// control has the focus), as the keyboard would: the dialog's message loop
// then translates it through IsDialogMessage.
static int Press(const std::wstring& key) {
    UINT vk;
    if (key == L"escape") {
        vk = VK_ESCAPE;
    } else if (key == L"enter") {
        vk = VK_RETURN;
    } else {
        Print("press: escape or enter");
        return 2;
    }
    HWND dialog = RequireDialog();
    if (!dialog) {
        return 1;
    }
    HWND target = dialog;
    GUITHREADINFO info;
    ZeroMemory(&info, sizeof(info));
    info.cbSize = sizeof(info);
    DWORD thread = GetWindowThreadProcessId(dialog, NULL);
    if (GetGUIThreadInfo(thread, &info) && info.hwndFocus &&
        (info.hwndFocus == dialog || IsChild(dialog, info.hwndFocus))) {
        target = info.hwndFocus;
    }
    std::string pressed =
        std::string("pressed ") + Utf8(key) + " on " +
        (target == dialog ? "the dialog" : Format("control %d", GetDlgCtrlID(target)));
    UINT scan = MapVirtualKeyW(vk, MAPVK_VK_TO_VSC);
    LPARAM down = 1 | (static_cast<LPARAM>(scan) << 16);
    LPARAM up = down | (static_cast<LPARAM>(3) << 30);
    if (!PostMessageW(target, WM_KEYDOWN, vk, down)) {
        Print(Format("PostMessageW(WM_KEYDOWN) failed: %lu", Ms(GetLastError())));
        return 1;
    }
    if (!PostMessageW(target, WM_KEYUP, vk, up)) {
        DWORD error = GetLastError();
        // A key that closes the dialog can end it a few milliseconds after
        // the key-down, before the key-up is posted: then the press was
        // delivered and there is nothing left to release it on.
        if (error != ERROR_INVALID_WINDOW_HANDLE || IsWindow(target)) {
            Print(Format("PostMessageW(WM_KEYUP) failed: %lu", Ms(error)));
            return 1;
        }
        pressed += " (the window ended before the key-up)";
    }
    Print(pressed);
    return 0;
}

// What a click on the close box sends.
static int CloseBox() {
    HWND dialog = RequireDialog();
    if (!dialog) {
        return 1;
    }
    if (!PostMessageW(dialog, WM_SYSCOMMAND, SC_CLOSE, 0)) {
        Print(Format("PostMessageW failed: %lu", Ms(GetLastError())));
        return 1;
    }
    Print("close box");
    return 0;
}

static int Rect() {
    HWND dialog = RequireDialog();
    if (!dialog) {
        return 1;
    }
    RECT rect;
    GetWindowRect(dialog, &rect);
    Print(Format("%ld %ld %ld %ld", rect.left, rect.top, rect.right - rect.left,
                 rect.bottom - rect.top));
    return 0;
}

// ---- starting Tovix -------------------------------------------------------------

struct SeenWindows {
    DWORD processId;
    std::vector<HWND> all;
    std::vector<std::string> descriptions;
    int visible;
};

static BOOL CALLBACK NoteWindow(HWND window, LPARAM param) {
    SeenWindows* seen = reinterpret_cast<SeenWindows*>(param);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner != seen->processId) {
        return TRUE;
    }
    for (HWND known : seen->all) {
        if (known == window) {
            return TRUE;
        }
    }
    seen->all.push_back(window);
    WCHAR className[256] = L"";
    GetClassNameW(window, className, 256);
    bool visible = IsWindowVisible(window) != FALSE;
    if (visible) {
        ++seen->visible;
    }
    seen->descriptions.push_back("class=" + Utf8(className) + " title=" + Utf8(WindowText(window)) +
                                 (visible ? " visible" : " hidden"));
    return TRUE;
}

static std::wstring ReadUtf8File(const std::wstring& path, bool* ok) {
    *ok = false;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        return std::wstring();
    }
    std::string bytes;
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &read, NULL) && read > 0) {
        bytes.append(buffer, read);
    }
    CloseHandle(file);
    // A trailing newline from the shell is not part of the command line.
    while (!bytes.empty() && (bytes.back() == '\n' || bytes.back() == '\r')) {
        bytes.pop_back();
    }
    *ok = true;
    if (bytes.empty()) {
        return std::wstring();
    }
    int length =
        MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), NULL, 0);
    std::wstring text(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), &text[0], length);
    return text;
}

// spawn [--app PATH] [--watch] [--timeout MS] [--note-after MS]
//       (--cmdline-file FILE | COMMAND_LINE)
// --watch notes every window of the process (polled); --note-after prints
// "running after MS ms" if the process is still running then, and goes on.
static int Spawn(int argc, wchar_t** argv) {
    std::wstring app;
    std::wstring commandLine;
    bool haveCommandLine = false;
    bool watch = false;
    DWORD timeout = 120000;
    DWORD noteAfter = INFINITE;
    for (int i = 0; i < argc; ++i) {
        std::wstring arg = argv[i];
        if (arg == L"--app" && i + 1 < argc) {
            app = argv[++i];
        } else if (arg == L"--watch") {
            watch = true;
        } else if (arg == L"--timeout" && i + 1 < argc) {
            timeout = wcstoul(argv[++i], NULL, 10);
        } else if (arg == L"--note-after" && i + 1 < argc) {
            noteAfter = wcstoul(argv[++i], NULL, 10);
        } else if (arg == L"--cmdline-file" && i + 1 < argc) {
            bool ok = false;
            commandLine = ReadUtf8File(argv[++i], &ok);
            if (!ok) {
                Print("cannot read the command-line file");
                return 2;
            }
            haveCommandLine = true;
        } else if (!haveCommandLine) {
            commandLine = arg;
            haveCommandLine = true;
        } else {
            Print("spawn: too many arguments");
            return 2;
        }
    }
    if (!haveCommandLine) {
        Print("spawn: no command line");
        return 2;
    }
    Print("command line: [" + Utf8(commandLine) + "]");

    std::vector<WCHAR> writable(commandLine.begin(), commandLine.end());
    writable.push_back(L'\0');
    STARTUPINFOW startup;
    ZeroMemory(&startup, sizeof(startup));
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process;
    DWORD start = GetTickCount();
    if (!CreateProcessW(app.empty() ? NULL : app.c_str(), writable.data(), NULL, NULL, FALSE, 0,
                        NULL, NULL, &startup, &process)) {
        Print(Format("CreateProcessW failed: %lu", Ms(GetLastError())));
        return 1;
    }
    CloseHandle(process.hThread);

    SeenWindows seen;
    seen.processId = process.dwProcessId;
    seen.visible = 0;
    DWORD waited;
    bool noted = false;
    for (;;) {
        waited = WaitForSingleObject(process.hProcess, POLL_MS);
        if (watch) {
            EnumWindows(NoteWindow, reinterpret_cast<LPARAM>(&seen));
        }
        DWORD elapsed = GetTickCount() - start;
        if (waited != WAIT_TIMEOUT || elapsed >= timeout) {
            break;
        }
        if (!noted && elapsed >= noteAfter) {
            noted = true;
            Print(Format("running after %lu ms", Ms(noteAfter)));
        }
    }
    if (waited == WAIT_TIMEOUT) {
        Print(Format("still running after %lu ms", Ms(timeout)));
        CloseHandle(process.hProcess);
        return 1;
    }
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hProcess);
    for (const std::string& description : seen.descriptions) {
        Print("window: " + description);
    }
    Print(Format("exit=%lu elapsed=%lu ms", Ms(code), Ms(GetTickCount() - start)) +
          (watch ? Format(" windows=%d visible=%d", static_cast<int>(seen.all.size()), seen.visible)
                 : std::string()));
    return 0;
}

// ---- a server that answers late or never ----------------------------------------

struct Client {
    SOCKET socket;
    std::string received;
    bool requestSeen;
    DWORD requestTick;
    bool answered;
};

static void AppendLog(const std::wstring& path, const std::string& line) {
    HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        return;
    }
    std::string text = Format("%lu ", Ms(GetTickCount())) + line + "\n";
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, NULL);
    CloseHandle(file);
}

static std::string HeaderValue(const std::string& head, const std::string& name) {
    size_t pos = 0;
    while ((pos = head.find("\r\n", pos)) != std::string::npos) {
        pos += 2;
        if (head.size() - pos > name.size() + 1 &&
            _strnicmp(head.c_str() + pos, name.c_str(), name.size()) == 0 &&
            head[pos + name.size()] == ':') {
            size_t start = head.find_first_not_of(' ', pos + name.size() + 1);
            size_t end = head.find("\r\n", pos);
            return start < end ? head.substr(start, end - start) : std::string();
        }
    }
    return std::string();
}

static bool ReadWholeFile(const std::wstring& path, std::string* bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &got, NULL) && got > 0) {
        bytes->append(buffer, got);
    }
    CloseHandle(file);
    return true;
}

static void SendAll(SOCKET socket, const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        int n = send(socket, bytes.data() + sent, static_cast<int>(bytes.size() - sent), 0);
        if (n <= 0) {
            return;
        }
        sent += static_cast<size_t>(n);
    }
}

static const char Challenge[] = "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Basic "
                                "realm=\"tovix\"\r\nContent-Length: 7\r\n\r\nbadauth";

// serve MODE LOG STOP_FILE DEADLINE_MS, MODE "hold" (never answer),
// "close-after=MS" (close the connection MS after the request, unanswered) or
// "answer=FILE" (a request without credentials gets a Basic challenge on the
// same connection; one with credentials gets the bytes of FILE, a whole raw
// HTTP response, and then the server's end of the connection: the socket is
// kept until the client closes it, which is logged as "client closed the
// answered connection").
// Listens on 127.0.0.1:80 until STOP_FILE exists or the deadline passes.
static int Serve(const std::wstring& mode, const std::wstring& log, const std::wstring& stop,
                 DWORD deadline) {
    DWORD closeAfter = INFINITE;
    bool answering = false;
    std::string answer;
    if (mode.compare(0, 12, L"close-after=") == 0) {
        closeAfter = wcstoul(mode.c_str() + 12, NULL, 10);
    } else if (mode.compare(0, 7, L"answer=") == 0) {
        answering = true;
        if (!ReadWholeFile(mode.substr(7), &answer)) {
            Print("serve: cannot read " + Utf8(mode.substr(7)));
            return 2;
        }
    } else if (mode != L"hold") {
        Print("serve: hold, close-after=MS or answer=FILE");
        return 2;
    }
    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) {
        AppendLog(log, "WSAStartup failed");
        return 1;
    }
    SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    BOOL reuse = TRUE;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&reuse),
               sizeof(reuse));
    sockaddr_in address;
    ZeroMemory(&address, sizeof(address));
    address.sin_family = AF_INET;
    address.sin_port = htons(80);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        listen(listener, 8) != 0) {
        AppendLog(log, Format("cannot listen on 127.0.0.1:80: %d", WSAGetLastError()));
        return 1;
    }
    AppendLog(log, "listening 127.0.0.1:80 mode=" + Utf8(mode));

    std::vector<Client> clients;
    DWORD start = GetTickCount();
    while (GetTickCount() - start < deadline &&
           GetFileAttributesW(stop.c_str()) == INVALID_FILE_ATTRIBUTES) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(listener, &readable);
        for (const Client& client : clients) {
            FD_SET(client.socket, &readable);
        }
        timeval wait = {0, POLL_MS * 1000};
        if (select(0, &readable, NULL, NULL, &wait) == SOCKET_ERROR) {
            AppendLog(log, Format("select failed: %d", WSAGetLastError()));
            break;
        }
        if (FD_ISSET(listener, &readable)) {
            SOCKET accepted = accept(listener, NULL, NULL);
            if (accepted != INVALID_SOCKET) {
                clients.push_back(Client{accepted, std::string(), false, 0, false});
                AppendLog(log, Format("accepted connection %d", static_cast<int>(clients.size())));
            }
        }
        for (size_t i = 0; i < clients.size();) {
            Client& client = clients[i];
            bool drop = false;
            if (FD_ISSET(client.socket, &readable)) {
                char buffer[2048];
                int got = recv(client.socket, buffer, sizeof(buffer), 0);
                if (got <= 0) {
                    AppendLog(log, client.answered ? "client closed the answered connection"
                                                   : "client closed its connection");
                    drop = true;
                } else if (!client.answered) { // nothing more on an answered connection
                    client.received.append(buffer, static_cast<size_t>(got));
                    size_t end;
                    while (!drop && !client.requestSeen && !client.answered &&
                           (end = client.received.find("\r\n\r\n")) != std::string::npos) {
                        std::string head = client.received.substr(0, end + 2);
                        client.received.erase(0, end + 4);
                        bool authorized = !HeaderValue(head, "Authorization").empty();
                        AppendLog(log, "request " + head.substr(0, head.find("\r\n")) +
                                           "\tuser-agent=" + HeaderValue(head, "User-Agent") +
                                           "\tauthorization=" + (authorized ? "present" : "none"));
                        if (answering && !authorized) {
                            SendAll(client.socket, Challenge);
                        } else if (answering) {
                            SendAll(client.socket, answer);
                            shutdown(client.socket, SD_SEND);
                            AppendLog(log, "answered; the server's end is closed");
                            client.answered = true;
                        } else {
                            client.requestSeen = true;
                            client.requestTick = GetTickCount();
                        }
                    }
                }
            }
            if (!drop && client.requestSeen && closeAfter != INFINITE &&
                GetTickCount() - client.requestTick >= closeAfter) {
                AppendLog(log, "closing the connection unanswered");
                drop = true;
            }
            if (drop) {
                closesocket(client.socket);
                clients.erase(clients.begin() + static_cast<std::ptrdiff_t>(i));
            } else {
                ++i;
            }
        }
    }
    for (const Client& client : clients) {
        closesocket(client.socket);
    }
    closesocket(listener);
    AppendLog(log, "stopped");
    WSACleanup();
    return 0;
}

// ---- dispatch ---------------------------------------------------------------------

static DWORD Number(const wchar_t* text) {
    return wcstoul(text, NULL, 10);
}

static int Usage() {
    Print("usage: tovix-wine-helper wait-window MS | absent MS | status | button |\n"
          "       wait-text TEXT MS | wait-button CAPTION 0|1 MS | wait-gone MS | record MS |\n"
          "       press escape|enter | close-box | rect |\n"
          "       spawn [--app PATH] [--watch] [--timeout MS] [--note-after MS]\n"
          "             (--cmdline-file F | CMDLINE) |\n"
          "       serve hold|close-after=MS|answer=FILE LOG STOP_FILE DEADLINE_MS");
    return 2;
}

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        return Usage();
    }
    std::wstring command = argv[1];
    int rest = argc - 2;
    wchar_t** args = argv + 2;
    if (command == L"wait-window" && rest == 1) {
        return WaitWindow(Number(args[0]));
    } else if (command == L"absent" && rest == 1) {
        return Absent(Number(args[0]));
    } else if (command == L"status" && rest == 0) {
        return Status();
    } else if (command == L"button" && rest == 0) {
        return Button();
    } else if (command == L"wait-text" && rest == 2) {
        return WaitText(args[0], Number(args[1]));
    } else if (command == L"wait-button" && rest == 3) {
        return WaitButton(args[0], static_cast<int>(Number(args[1])), Number(args[2]));
    } else if (command == L"record" && rest == 1) {
        return Record(Number(args[0]));
    } else if (command == L"wait-gone" && rest == 1) {
        return WaitGone(Number(args[0]));
    } else if (command == L"press" && rest == 1) {
        return Press(args[0]);
    } else if (command == L"close-box" && rest == 0) {
        return CloseBox();
    } else if (command == L"rect" && rest == 0) {
        return Rect();
    } else if (command == L"spawn") {
        return Spawn(rest, args);
    } else if (command == L"serve" && rest == 4) {
        return Serve(args[0], args[1], args[2], Number(args[3]));
    }
    return Usage();
}
