#include "ConfigFile.h"

#include <cerrno>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "PosixPlatform.h"
#endif

namespace lumaro {

#ifdef _WIN32

static std::wstring Wide(const std::string& text) {
    int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring result(size > 0 ? size : 0, L'\0');
    if (size > 0)
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), size);
    return result;
}

TFileReadResult ReadWholeTextFile(const std::string& path, std::string& text) {
    text.clear();
    HANDLE file = CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        return (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) ? TFileReadResult::Missing
                                                                                : TFileReadResult::Failed;
    }
    char buffer[65536];
    DWORD got = 0;
    bool ok = true;
    while ((ok = ReadFile(file, buffer, sizeof buffer, &got, nullptr)) && got > 0) text.append(buffer, got);
    CloseHandle(file);
    return ok ? TFileReadResult::Ok : TFileReadResult::Failed;
}

bool CreateFolderPath(const std::string& folder) {
    if (folder.empty()) return false;
    DWORD attributes = GetFileAttributesW(Wide(folder).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    std::size_t cut = folder.find_last_of("\\/");
    if (cut != std::string::npos && cut > 0 && !CreateFolderPath(folder.substr(0, cut))) return false;
    return CreateDirectoryW(Wide(folder).c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

bool ReplaceFileAtomically(const std::string& path, const std::string& text) {
    std::wstring target = Wide(path);
    std::wstring temporary = target + L".tmp";
    HANDLE file = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    bool ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
              written == text.size() && FlushFileBuffers(file);
    CloseHandle(file);
    if (ok) ok = MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    if (!ok) DeleteFileW(temporary.c_str());
    return ok;
}

#else

TFileReadResult ReadWholeTextFile(const std::string& path, std::string& text) {
    text.clear();
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT ? TFileReadResult::Missing : TFileReadResult::Failed;
    char buffer[65536];
    for (;;) {
        ssize_t got = read(fd, buffer, sizeof buffer);
        if (got == 0) break;
        if (got < 0) {
            if (errno == EINTR) continue;
            close(fd);  // also EISDIR for a folder of that name
            text.clear();
            return TFileReadResult::Failed;
        }
        text.append(buffer, static_cast<std::size_t>(got));
    }
    close(fd);
    return TFileReadResult::Ok;
}

bool CreateFolderPath(const std::string& folder) {
    if (folder.empty()) return false;
    struct stat info{};
    if (stat(folder.c_str(), &info) == 0) return S_ISDIR(info.st_mode);
    std::size_t cut = folder.find_last_of('/');
    if (cut != std::string::npos && cut > 0 && !CreateFolderPath(folder.substr(0, cut))) return false;
    // Settings are private to their user.
    return mkdir(folder.c_str(), 0700) == 0 || errno == EEXIST;
}

// Follows a symbolic link so that replacing the file keeps the link.
static std::string ResolvedTarget(const std::string& path) {
    struct stat info{};
    if (lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return path;
    char* real = realpath(path.c_str(), nullptr);
    if (!real) return path;  // a dangling link is replaced by a file
    std::string result = real;
    free(real);
    return result;
}

bool ReplaceFileAtomically(const std::string& path, const std::string& text) {
    std::string target = ResolvedTarget(path);
    // A file the user made read-only stays as it is, as an in-place write would.
    if (access(target.c_str(), F_OK) == 0 && access(target.c_str(), W_OK) != 0) return false;
    std::size_t cut = target.find_last_of('/');
    std::string folder = cut == std::string::npos ? std::string(".") : target.substr(0, cut == 0 ? 1 : cut);

    std::vector<char> name(target.begin(), target.end());
    const char suffix[] = ".tmp-XXXXXX";
    name.insert(name.end(), suffix, suffix + sizeof suffix);  // with the terminating zero
    int fd = mkstemp(name.data());
    if (fd < 0) return false;
    std::string temporary(name.data());

    // mkstemp gives 0600; an existing file keeps its own bits, a new one the
    // usual bits under the umask.
    struct stat info{};
    mode_t mode;
    if (stat(target.c_str(), &info) == 0) {
        mode = info.st_mode & 07777;
    } else {
        mode_t mask = umask(0);
        umask(mask);
        mode = 0666 & ~mask;
    }
    int err = 0;
    bool ok = fchmod(fd, mode) == 0 &&
              WriteAll(fd, reinterpret_cast<const std::uint8_t*>(text.data()), text.size(), err) && fsync(fd) == 0;
    ok = (close(fd) == 0) && ok;
    if (ok) ok = rename(temporary.c_str(), target.c_str()) == 0;
    if (!ok) {
        unlink(temporary.c_str());
        return false;
    }
    // Make the rename itself durable.
    int folderFd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd >= 0) {
        fsync(folderFd);
        close(folderFd);
    }
    return true;
}

#endif

} // namespace lumaro
