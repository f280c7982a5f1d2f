// The program's process on Windows: a copy started apart is a detached process that inherits no
// handle and leaves the browser's job where the job allows it; a windowed program's standard
// streams, when nothing was redirected to them, are the console of whoever started it.
#include "platform/program.h"

#include "platform/home.h"
#include "platform/text.h"
#include "platform/wide_win.h"

#include <windows.h>
#include <shellapi.h>

#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <cstdio>
#include <iterator>
#include <memory>

namespace {

constexpr DWORD APART = DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP;

// argument as the system's command-line parser (CommandLineToArgvW) takes it back whole.
std::wstring quoted(const std::wstring& argument)
{
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos)
        return argument;
    std::wstring out = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        // Backslashes double only in front of a quote, which gets one of its own.
        out.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        out += c;
        backslashes = 0;
    }
    out.append(backslashes * 2, L'\\');
    return out + L"\"";
}

bool createProcess(std::wstring commandLine, DWORD flags)
{
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, flags, nullptr, nullptr, &startup,
                        &started))
        return false;
    CloseHandle(started.hThread);
    CloseHandle(started.hProcess);
    return true;
}

bool missing(DWORD which)
{
    const HANDLE handle = GetStdHandle(which);
    return handle == nullptr || handle == INVALID_HANDLE_VALUE;
}

int lastErrno()
{
    return Plat_ErrnoOf(GetLastError());
}

// Reads handle to its end (a closed pipe is an end) into text, up to limit bytes; 0 or the errno.
int readAll(HANDLE handle, size_t limit, std::string* text)
{
    char block[65536];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(handle, block, sizeof block, &got, nullptr))
            return GetLastError() == ERROR_BROKEN_PIPE ? 0 : lastErrno();
        if (got == 0)
            return 0;
        if (const int error = Plat_AppendBlock(text, block, got, limit))
            return error;
    }
}

}  // namespace

std::string Plat_ProgramFile()
{
    wchar_t program[32768];
    const DWORD length = GetModuleFileNameW(nullptr, program, DWORD(std::size(program)));
    return length == 0 || length >= std::size(program) ? std::string() : Plat_Narrow({program, length});
}

bool Plat_StartDetached(const std::string& program, const std::vector<std::string>& arguments)
{
    std::wstring commandLine = quoted(Plat_Widen(program));
    for (const std::string& argument : arguments)
        commandLine += L" " + quoted(Plat_Widen(argument));
    // A browser runs its host in a job that ends with it; the copy must outlive the host.
    return createProcess(commandLine, APART | CREATE_BREAKAWAY_FROM_JOB) || createProcess(commandLine, APART);
}

void Plat_PrepareStdioPipes()
{
    _setmode(PLAT_STDIN, _O_BINARY);
    _setmode(PLAT_STDOUT, _O_BINARY);
}

void Plat_UseUtf8Arguments(int* argc, char*** argv)
{
    // The C runtime's arguments are in the ANSI code page, which cannot hold every link.
    int count = 0;
    const std::unique_ptr<LPWSTR, decltype(&LocalFree)> wide(CommandLineToArgvW(GetCommandLineW(), &count), LocalFree);
    if (!wide)
        return;
    static std::vector<std::string> texts;
    static std::vector<char*> pointers;
    texts.clear();
    for (int k = 0; k < count; ++k)
        texts.push_back(Plat_Narrow(wide.get()[k]));
    pointers.clear();
    for (std::string& text : texts)
        pointers.push_back(text.data());
    pointers.push_back(nullptr);
    *argc = count;
    *argv = pointers.data();
}

void Plat_UseParentConsole()
{
    const bool in = missing(STD_INPUT_HANDLE), out = missing(STD_OUTPUT_HANDLE), err = missing(STD_ERROR_HANDLE);
    if (!(in || out || err) || !AttachConsole(ATTACH_PARENT_PROCESS))
        return;
    // A stream that was redirected keeps its file or pipe.
    if (in)
        static_cast<void>(std::freopen("CONIN$", "r", stdin));
    if (out)
        static_cast<void>(std::freopen("CONOUT$", "w", stdout));
    if (err)
        static_cast<void>(std::freopen("CONOUT$", "w", stderr));
}

int Plat_ReadBounded(const char* path, size_t limit, std::string* text)
{
    if (path == nullptr)
        return readAll(GetStdHandle(STD_INPUT_HANDLE), limit, text);
    const std::wstring wide = Plat_Widen(path);
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
        return EISDIR;
    const HANDLE file = CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return lastErrno();
    const int error = readAll(file, limit, text);
    CloseHandle(file);
    return error;
}

std::string Plat_ProgramDataFolder()
{
    const wchar_t* local = _wgetenv(L"LOCALAPPDATA");
    const std::string base = local && local[0] != L'\0' ? Plat_Narrow(local) : Plat_HomeFolder() + "\\AppData\\Local";
    return base + "\\Moonfetch";
}

const char* Plat_DataFolderWords()
{
    return "%LOCALAPPDATA%\\Moonfetch\n                  (C:\\Users\\<name>\\AppData\\Local\\Moonfetch)";
}

int Plat_MakePrivateFolder(const std::string& path)
{
    // The person's own profile folder already keeps others out; the new folder inherits that.
    if (CreateDirectoryW(Plat_Widen(path).c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS)
        return 0;
    return lastErrno();
}
