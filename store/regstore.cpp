#include "store/regstore.h"

#include "platform/files.h"
#include "platform/home.h"
#include "platform/text.h"
#include "store/regtext.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <string_view>
#include <sys/file.h>
#include <unistd.h>

namespace {

// The settings name the cookie source and the folders used: a new file is its owner's alone.
constexpr mode_t SETTINGS_MODE = 0600;

struct RootInfo {
    RegRoot root;
    const char* name;    // as written in the file's key lines
    const char* folder;  // below the configuration folder
    const char* file;
};

constexpr RootInfo ROOTS[] = {
    {REG_ROOT_CURRENT_USER, "HKEY_CURRENT_USER", "Larkvale", "Moonfetch.reg"},
};

struct ErrnoCode {
    int err;
    int32_t code;
};

constexpr ErrnoCode ERRNO_CODES[] = {
    {ENOENT, REG_ERROR_PATH_NOT_FOUND},      {ENOTDIR, REG_ERROR_PATH_NOT_FOUND},
    {EACCES, REG_ERROR_ACCESS_DENIED},       {EPERM, REG_ERROR_ACCESS_DENIED},
    {EISDIR, REG_ERROR_ACCESS_DENIED},       {EROFS, REG_ERROR_WRITE_PROTECT},
    {ENOSPC, REG_ERROR_DISK_FULL},           {EDQUOT, REG_ERROR_DISK_FULL},
    {EFBIG, REG_ERROR_FILE_TOO_LARGE},       {ENOMEM, REG_ERROR_NOT_ENOUGH_MEMORY},
    {EMFILE, REG_ERROR_TOO_MANY_OPEN_FILES}, {ENFILE, REG_ERROR_TOO_MANY_OPEN_FILES},
    {ENAMETOOLONG, REG_ERROR_FILENAME_EXCED_RANGE},
};

struct LoadedStore {
    RegTree tree;
    bool damaged = false;
    std::string damagedText;  // the bytes of a file that did not parse, kept for the .bad copy
};

const RootInfo* rootInfo(RegRoot root)
{
    for (const RootInfo& info : ROOTS)
        if (info.root == root)
            return &info;
    return nullptr;
}

int32_t codeFromErrno(int err)
{
    if (err == 0)
        return REG_OK;
    for (const ErrnoCode& entry : ERRNO_CODES)
        if (entry.err == err)
            return entry.code;
    return REG_ERROR_GEN_FAILURE;
}

// The caller's key path with empty levels dropped.
std::string normalizePath(const char* subKey)
{
    std::string path;
    std::string_view rest = subKey ? subKey : "";
    while (!rest.empty()) {
        size_t end = std::min(rest.find('\\'), rest.size());
        if (end > 0) {
            if (!path.empty())
                path += '\\';
            path += rest.substr(0, end);
        }
        rest.remove_prefix(std::min(end + 1, rest.size()));
    }
    return path;
}

// Returns 0 or errno; text receives the whole file.
int readWholeFile(const std::string& path, std::string& text)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    int err = 0;
    char chunk[4096];
    for (;;) {
        ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n > 0) {
            text.append(chunk, static_cast<size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            err = n == 0 ? 0 : errno;
            break;
        }
    }
    ::close(fd);
    return err;
}

// A missing file is an empty store, and so is a damaged one (flagged, its text kept).
int32_t loadStore(const RootInfo& root, const std::string& file, LoadedStore& store)
{
    std::string text;
    int err = readWholeFile(file, text);
    if (err == ENOENT || err == ENOTDIR)
        return REG_OK;
    if (err != 0)
        return codeFromErrno(err);
    if (!RegText_Parse(text, root.name, store.tree)) {
        store.tree = {};
        store.damaged = true;
        store.damagedText = std::move(text);
    }
    return REG_OK;
}

// Re-reads the file, keeps a damaged one as "<file>.bad", applies the change and replaces the
// file. Runs under the store lock.
int32_t updateStore(const RootInfo& root, const std::string& file, std::string_view path,
                    std::string_view name, uint32_t type, std::string data)
{
    LoadedStore store;
    int32_t result = loadStore(root, file, store);
    if (result != REG_OK)
        return result;
    // Stored already as given: nothing to replace, and no sync to wait for.
    const RegValue* stored = RegText_FindValue(store.tree, path, name);
    if (!store.damaged && stored && stored->type == type && stored->data == data)
        return REG_OK;
    if (store.damaged) {
        std::string bad = file + ".bad";
        int err = Plat_ReplaceFile(bad.c_str(), store.damagedText.data(), store.damagedText.size(), SETTINGS_MODE);
        if (err != 0)
            return codeFromErrno(err);
    }
    RegText_PutValue(RegText_CreateKey(store.tree, path), name, type, std::move(data));
    std::string text = RegText_Format(store.tree, root.name);
    return codeFromErrno(Plat_ReplaceFile(file.c_str(), text.data(), text.size(), SETTINGS_MODE));
}

// Runs change while holding the store lock, after creating the file's folder.
int32_t underStoreLock(const std::string& file, const std::function<int32_t()>& change)
{
    std::error_code failed;
    std::filesystem::create_directories(std::filesystem::path(file).parent_path(), failed);
    if (failed)
        return codeFromErrno(failed.value());
    // The lock lives on its own file: the store file is replaced by rename, which would leave a
    // lock held on it behind on the old inode.
    int lockFd = ::open((file + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lockFd < 0)
        return codeFromErrno(errno);
    int err = 0;
    do
        err = ::flock(lockFd, LOCK_EX) == 0 ? 0 : errno;
    while (err == EINTR);
    int32_t result = codeFromErrno(err);
    if (result == REG_OK)
        result = change();
    ::close(lockFd);  // releases the lock
    return result;
}

// Copies a found value out as RegQueryValueExA does.
int32_t copyValue(const RegValue& value, uint32_t* type, void* data, uint32_t* size)
{
    auto length = static_cast<uint32_t>(value.data.size());
    int32_t result = REG_OK;
    if (type)
        *type = value.type;
    if (data && *size < length)
        result = REG_ERROR_MORE_DATA;
    else if (data)
        std::memcpy(data, value.data.data(), length);
    if (size)
        *size = length;
    return result;
}

}  // namespace

std::string RegStore_FilePath(RegRoot root)
{
    const RootInfo* info = rootInfo(root);
    if (!info)
        return {};
    return Plat_ConfigFolder() + PATH_SEP + info->folder + PATH_SEP + info->file;
}

int32_t RegStore_QueryValue(RegRoot root, const char* subKey, const char* name, uint32_t* type,
                            void* data, uint32_t* size, int32_t* keyResult)
{
    int32_t ignored = REG_OK;
    int32_t& opened = keyResult ? *keyResult : ignored;
    const RootInfo* info = rootInfo(root);
    if (!info)
        return opened = REG_ERROR_INVALID_HANDLE;
    if (data && !size)
        return opened = REG_ERROR_INVALID_PARAMETER;
    LoadedStore store;
    opened = loadStore(*info, RegStore_FilePath(root), store);
    if (opened != REG_OK)
        return opened;
    std::string path = normalizePath(subKey);
    if (const RegValue* value = RegText_FindValue(store.tree, path, name ? name : ""))
        return copyValue(*value, type, data, size);
    opened = RegText_KeyExists(store.tree, path) ? REG_OK : REG_ERROR_FILE_NOT_FOUND;
    return REG_ERROR_FILE_NOT_FOUND;
}

int32_t RegStore_SetValue(RegRoot root, const char* subKey, const char* name, uint32_t type,
                          const void* data, uint32_t size)
{
    const RootInfo* info = rootInfo(root);
    if (!info)
        return REG_ERROR_INVALID_HANDLE;
    std::string path = normalizePath(subKey);
    std::string_view valueName = name ? name : "";
    if ((!data && size > 0) || RegText_HasControlChar(path) || RegText_HasControlChar(valueName))
        return REG_ERROR_INVALID_PARAMETER;
    std::string file = RegStore_FilePath(root);
    return underStoreLock(file, [&] {
        std::string bytes = data ? std::string(static_cast<const char*>(data), size) : std::string();
        return updateStore(*info, file, path, valueName, type, std::move(bytes));
    });
}

int32_t RegStore_CreateFile(RegRoot root)
{
    const RootInfo* info = rootInfo(root);
    if (!info)
        return REG_ERROR_INVALID_HANDLE;
    std::string file = RegStore_FilePath(root);
    return underStoreLock(file, [&] {
        std::error_code failed;
        if (std::filesystem::exists(file, failed) || failed)
            return codeFromErrno(failed.value());
        std::string text = RegText_Format(RegTree{}, info->name);
        return codeFromErrno(Plat_ReplaceFile(file.c_str(), text.data(), text.size(), SETTINGS_MODE));
    });
}
