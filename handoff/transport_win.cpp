// The handoff on Win32: the running copy serves from a message-only window named after the data
// folder; another process sends it the request's frame with WM_COPYDATA, and the server answers
// with a WM_COPYDATA of its own to the sender's window before the send returns. Message-only
// windows are the user's session's; a sender checks that the window's process runs as this user
// before it sends, as the Linux sender checks the socket's peer.
#include "handoff/transport.h"

#include <windows.h>

#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <vector>

namespace {

constexpr wchar_t SERVER_CLASS[] = L"Moonfetch.Handoff";
constexpr wchar_t REPLY_CLASS[] = L"Moonfetch.HandoffReply";
constexpr ULONG_PTR REQUEST_MAGIC = 0x4D465251;   // "MFRQ"
constexpr ULONG_PTR ANSWER_MAGIC = 0x4D46414E;    // "MFAN"
constexpr UINT ANSWER_TIMEOUT_MS = 5000;

HWND server = nullptr;
std::function<void(const HandoffRequest&, HandoffAnswer*)> serve;

// FNV-1a of the folder's absolute path, folded to lower case as Windows' names are.
uint64_t hashOf(const std::wstring& text)
{
    std::wstring lower = text;
    CharLowerBuffW(lower.data(), DWORD(lower.size()));
    uint64_t hash = 14695981039346656037ull;
    for (wchar_t c : lower) {
        for (unsigned char byte : {static_cast<unsigned char>(c & 0xFF), static_cast<unsigned char>(c >> 8)})
            hash = (hash ^ byte) * 1099511628211ull;
    }
    return hash;
}

std::wstring windowName(const char* dataFolder)
{
    std::error_code error;
    const std::filesystem::path folder = std::filesystem::absolute(std::filesystem::u8path(dataFolder), error);
    wchar_t name[64];
    std::swprintf(name, std::size(name), L"moonfetch-%016" PRIx64, hashOf(folder.lexically_normal().wstring()));
    return name;
}

// The payload of a frame that is exactly one frame; false otherwise.
bool payloadOf(const COPYDATASTRUCT* data, ULONG_PTR magic, std::string_view* payload)
{
    uint32_t length = 0;
    if (data == nullptr || data->dwData != magic || data->cbData < HANDOFF_HEADER_SIZE ||
        !Handoff_PayloadLength(static_cast<const char*>(data->lpData), &length) ||
        data->cbData != HANDOFF_HEADER_SIZE + length)
        return false;
    *payload = std::string_view(static_cast<const char*>(data->lpData) + HANDOFF_HEADER_SIZE, length);
    return true;
}

// The TOKEN_USER of process's token; empty when it cannot be read.
std::vector<char> tokenUser(HANDLE process)
{
    HANDLE token = nullptr;
    if (process == nullptr || !OpenProcessToken(process, TOKEN_QUERY, &token))
        return {};
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<char> user(size);
    if (size == 0 || !GetTokenInformation(token, TokenUser, user.data(), size, &size))
        user.clear();
    CloseHandle(token);
    return user;
}

// Whether the process that made window runs as this user: another user's window of the same
// name would be handed the links and their cookies.
bool sameUser(HWND window)
{
    DWORD id = 0;
    GetWindowThreadProcessId(window, &id);
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id);
    const std::vector<char> theirs = tokenUser(process);
    if (process != nullptr)
        CloseHandle(process);
    const std::vector<char> ours = tokenUser(GetCurrentProcess());
    return !theirs.empty() && !ours.empty() &&
           EqualSid(reinterpret_cast<const TOKEN_USER*>(theirs.data())->User.Sid,
                    reinterpret_cast<const TOKEN_USER*>(ours.data())->User.Sid);
}

LRESULT CALLBACK serverProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message != WM_COPYDATA)
        return DefWindowProcW(window, message, wParam, lParam);
    std::string_view payload;
    HandoffRequest request;
    HandoffAnswer answer;
    if (!serve || !payloadOf(reinterpret_cast<const COPYDATASTRUCT*>(lParam), REQUEST_MAGIC, &payload) ||
        !Handoff_DecodeRequest(payload, &request) || Handoff_Expired(request))
        return FALSE;
    serve(request, &answer);
    const std::string frame = Handoff_EncodeAnswer(answer);
    COPYDATASTRUCT reply = {ANSWER_MAGIC, DWORD(frame.size()), const_cast<char*>(frame.data())};
    DWORD_PTR ignored = 0;
    SendMessageTimeoutW(HWND(wParam), WM_COPYDATA, WPARAM(window), LPARAM(&reply), SMTO_ABORTIFHUNG,
                        ANSWER_TIMEOUT_MS, &ignored);
    return TRUE;
}

// The sender's window keeps the answer that arrives while its send waits.
struct Reply {
    HandoffAnswer* answer;
    bool received;
};

LRESULT CALLBACK replyProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_NCCREATE) {
        SetWindowLongPtrW(window, GWLP_USERDATA, LONG_PTR(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams));
        return TRUE;
    }
    if (message != WM_COPYDATA)
        return DefWindowProcW(window, message, wParam, lParam);
    auto* reply = reinterpret_cast<Reply*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    std::string_view payload;
    if (reply == nullptr || reply->received ||
        !payloadOf(reinterpret_cast<const COPYDATASTRUCT*>(lParam), ANSWER_MAGIC, &payload))
        return FALSE;
    reply->received = Handoff_DecodeAnswer(payload, reply->answer);
    return reply->received;
}

bool registerClass(const wchar_t* name, WNDPROC procedure)
{
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = procedure;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = name;
    return RegisterClassExW(&wc) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

}  // namespace

std::string Handoff_SocketPath(const char* dataFolder)
{
    const std::wstring name = windowName(dataFolder);
    return std::string(name.begin(), name.end());
}

int Handoff_Send(const char* dataFolder, const HandoffRequest& req, HandoffAnswer* answer, int timeoutMs)
{
    const std::string frame = Handoff_EncodeSent(req, timeoutMs);
    if (frame.empty())
        return HANDOFF_TOO_BIG;
    HWND target = FindWindowExW(HWND_MESSAGE, nullptr, SERVER_CLASS, windowName(dataFolder).c_str());
    if (target == nullptr || !sameUser(target))
        return HANDOFF_NO_COPY;
    Reply reply{answer, false};
    if (!registerClass(REPLY_CLASS, replyProcedure))
        return HANDOFF_HUNG;
    HWND own = CreateWindowExW(0, REPLY_CLASS, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, GetModuleHandleW(nullptr),
                               &reply);
    if (own == nullptr)
        return HANDOFF_HUNG;
    COPYDATASTRUCT data = {REQUEST_MAGIC, DWORD(frame.size()), const_cast<char*>(frame.data())};
    DWORD_PTR served = FALSE;
    // Not SMTO_BLOCK: the answer is a message sent to this thread while it waits.
    const LRESULT sent = SendMessageTimeoutW(target, WM_COPYDATA, WPARAM(own), LPARAM(&data), SMTO_ABORTIFHUNG,
                                             UINT(timeoutMs > 0 ? timeoutMs : 0), &served);
    DestroyWindow(own);
    return sent != 0 && served != FALSE && reply.received ? HANDOFF_OK : HANDOFF_HUNG;
}

bool Handoff_Serve(const char* dataFolder, std::function<void(const HandoffRequest&, HandoffAnswer*)> onRequest)
{
    Handoff_Close();
    if (!registerClass(SERVER_CLASS, serverProcedure))
        return false;
    server = CreateWindowExW(0, SERVER_CLASS, windowName(dataFolder).c_str(), 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                             GetModuleHandleW(nullptr), nullptr);
    if (server == nullptr)
        return false;
    serve = std::move(onRequest);
    return true;
}

void Handoff_Close()
{
    if (server != nullptr)
        DestroyWindow(server);
    server = nullptr;
    serve = nullptr;
}
