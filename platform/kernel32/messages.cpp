/*
 * Message tables of the host layer, in English and Simplified Chinese: the
 * Internet library's codes (12001-12032 and the HTTP codes 12150-12156) and
 * the system codes the layer and the program meet. Texts end in CR LF as
 * Windows' do and hold no insert sequences. Codes not listed have no text.
 */
#include <windows.h>

namespace tovix::messages {

enum class Table { System, WinInet };

namespace {

struct Message {
    DWORD id;
    const char* english;
    const char* chinese;
};

const Message kWinInet[] = {
    {12001, "No more Internet handles can be allocated.\r\n", "无法再分配 Internet 句柄。\r\n"},
    {12002, "The request timed out waiting for the server.\r\n", "等待服务器响应时请求超时。\r\n"},
    {12003, "The server returned extended error information.\r\n",
     "服务器返回了扩展错误信息。\r\n"},
    {12004, "An internal error occurred in the Internet library.\r\n",
     "Internet 库内部发生错误。\r\n"},
    {12005, "The URL is not valid.\r\n", "URL 无效。\r\n"},
    {12006, "The URL uses a scheme that is not recognized or not supported.\r\n",
     "无法识别或不支持该 URL 使用的协议。\r\n"},
    {12007, "The server name could not be resolved.\r\n", "无法解析服务器名称。\r\n"},
    {12008, "No protocol could be found to handle the request.\r\n",
     "找不到可以处理该请求的协议。\r\n"},
    {12009, "The option is not valid.\r\n", "选项无效。\r\n"},
    {12010, "The length given for the option does not match its type.\r\n",
     "为该选项提供的长度与其类型不符。\r\n"},
    {12011, "The option can be read but not set.\r\n", "该选项只能读取，不能设置。\r\n"},
    {12012, "Internet support is shutting down or has been unloaded.\r\n",
     "Internet 支持正在关闭或已被卸载。\r\n"},
    {12013, "The user name was not accepted.\r\n", "用户名未被接受。\r\n"},
    {12014, "The password was not accepted.\r\n", "密码未被接受。\r\n"},
    {12015, "The server refused the login.\r\n", "服务器拒绝了登录。\r\n"},
    {12016, "The requested operation is not valid.\r\n", "请求的操作无效。\r\n"},
    {12017, "The operation was cancelled because the handle it was working on was closed.\r\n",
     "操作已取消，因为它所使用的句柄已被关闭。\r\n"},
    {12018, "The handle is of the wrong type for this operation.\r\n",
     "句柄的类型不适用于该操作。\r\n"},
    {12019, "The handle is not in a state that allows this operation.\r\n",
     "句柄当前的状态不允许该操作。\r\n"},
    {12020, "The request cannot be made through a proxy.\r\n",
     "该请求无法通过代理服务器发出。\r\n"},
    {12028, "The requested item could not be found.\r\n", "找不到请求的项目。\r\n"},
    {12029, "A connection to the server could not be established.\r\n",
     "无法与服务器建立连接。\r\n"},
    {12030, "The connection to the server ended abnormally.\r\n", "与服务器的连接异常终止。\r\n"},
    {12031, "The connection to the server was reset.\r\n", "与服务器的连接已被重置。\r\n"},
    {12032, "The request must be sent again.\r\n", "需要重新发送该请求。\r\n"},
    {12150, "The requested header could not be found.\r\n", "找不到请求的标头。\r\n"},
    {12152, "The server's response could not be understood.\r\n", "无法理解服务器的响应。\r\n"},
    {12153, "The server sent a header that is not valid.\r\n", "服务器发送的标头无效。\r\n"},
    {12156, "The redirection could not be followed.\r\n", "无法完成重定向。\r\n"},
};

const Message kSystem[] = {
    {0, "The operation succeeded.\r\n", "操作成功完成。\r\n"},
    {2, "The file could not be found.\r\n", "找不到该文件。\r\n"},
    {5, "Access was denied.\r\n", "访问被拒绝。\r\n"},
    {6, "The handle is not valid.\r\n", "句柄无效。\r\n"},
    {8, "There is not enough memory to carry out this command.\r\n",
     "内存不足，无法执行此命令。\r\n"},
    {14, "There is not enough memory to complete this operation.\r\n",
     "内存不足，无法完成此操作。\r\n"},
    {50, "The request is not supported.\r\n", "不支持该请求。\r\n"},
    {87, "A parameter is not valid.\r\n", "参数无效。\r\n"},
    {122, "The buffer given is too small for the data.\r\n",
     "提供的缓冲区太小，无法容纳数据。\r\n"},
    {126, "The module could not be found.\r\n", "找不到该模块。\r\n"},
    {317, "There is no text for this message number.\r\n", "该消息号没有对应的文本。\r\n"},
    {1223, "The operation was cancelled by the user.\r\n", "用户取消了该操作。\r\n"},
    {1400, "The window handle is not valid.\r\n", "窗口句柄无效。\r\n"},
    {1460, "The operation ended because its time ran out.\r\n", "操作因超时而结束。\r\n"},
    {1813, "The module has no resource of that type.\r\n", "模块中没有该类型的资源。\r\n"},
    {15100, "There is no resource in the requested language.\r\n", "没有所请求语言的资源。\r\n"},
};

template <size_t N> const char* Lookup(const Message (&table)[N], DWORD id, bool chinese) {
    for (const Message& message : table) {
        if (message.id == id) {
            return chinese ? message.chinese : message.english;
        }
    }
    return nullptr;
}

} // namespace

// UTF-8 text of a message, or null when the table has none.
const char* FindMessage(Table table, DWORD id, bool chinese) {
    return table == Table::WinInet ? Lookup(kWinInet, id, chinese) : Lookup(kSystem, id, chinese);
}

} // namespace tovix::messages
