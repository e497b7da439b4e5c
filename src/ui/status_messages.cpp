/*
 * Stage messages for the transfer. Only the stages in progress have one;
 * completed stages (name resolved, connected, sent, received) keep the
 * previous text on screen.
 */
#include "ui/status_messages.h"

#include "resource.h"

const STATUS_MESSAGE StatusMessageTable[STATUS_MESSAGE_COUNT] = {
    {INTERNET_STATUS_RESOLVING_NAME, L"正在解析域名..."},
    {INTERNET_STATUS_CONNECTING_TO_SERVER, L"正在连接到服务器..."},
    {INTERNET_STATUS_SENDING_REQUEST, L"正在发送请求..."},
    {INTERNET_STATUS_RECEIVING_RESPONSE, L"正在接收响应..."},
    {INTERNET_STATUS_CLOSING_CONNECTION, L"正在关闭连接..."},
    {INTERNET_STATUS_DETECTING_PROXY, L"正在探测代理服务器..."},
    {INTERNET_STATUS_REDIRECT, L"正在重定向..."},
};

void CALLBACK OnInternetStatus(HINTERNET, DWORD_PTR context, DWORD status, LPVOID, DWORD) {
    for (int i = 0; i < STATUS_MESSAGE_COUNT; ++i) {
        if (StatusMessageTable[i].dwStatus == status) {
            SetDlgItemTextW(reinterpret_cast<HWND>(context), IDC_STATUS,
                            StatusMessageTable[i].szText);
            return;
        }
    }
}
