#include "PosixPlatform.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace lumaro {

namespace {

TIoError MakeError(int code) { return TIoError{code, IoErrorText(code)}; }

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }

bool MatchFrom(const char* n, const char* p) {
    // Iterative wildcard match with one back-track point for the last '*'.
    const char* star = nullptr;
    const char* resume = nullptr;
    while (*n) {
        if (*p == '*') {
            star = p++;
            resume = n;
        } else if (*p == '?' || (*p && Lower(*p) == Lower(*n))) {
            ++p;
            ++n;
        } else if (star) {
            p = star + 1;
            n = ++resume;
        } else {
            return false;
        }
    }
    while (*p == '*') ++p;
    return *p == 0;
}

std::string FolderOf(const std::string& path) {
    auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string NameOf(const std::string& path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Writes are made through a symbolic link onto the file it names, so that
// replacing a linked source does not replace the link by a plain file.
std::string ResolveLinkTarget(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
    char* real = realpath(path.c_str(), nullptr);
    if (!real) return path;  // a dangling link: write beside it as asked
    std::string result = real;
    free(real);
    return result;
}

// Creates a new, empty file named ".<name>.lumaro-<number>" beside Target, with
// the mode 0666 less the umask (as a new file would get), and returns its
// descriptor; -1 with errno set on failure.
int CreateTemporaryBeside(const std::string& Target, std::string& Temp) {
    static std::atomic<unsigned> counter{0};
    // A long name is shortened so that the temporary name still fits a
    // directory entry (255 bytes); the temporary file never lives long.
    const std::string stem = FolderOf(Target) + "/." + NameOf(Target).substr(0, 200) + ".lumaro-";
    for (int attempt = 0; attempt < 100; ++attempt) {
        const unsigned n = counter.fetch_add(1) + static_cast<unsigned>(::getpid()) * 7919u;
        Temp = stem + std::to_string(n);
        int fd = ::open(Temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    errno = EEXIST;
    return -1;
}

// One read(2), retried when a signal interrupts it; n = 0 at the end of the file.
bool ReadSome(int fd, std::uint8_t* dest, std::size_t count, std::size_t& n, TIoError& error) {
    for (;;) {
        const ssize_t got = ::read(fd, dest, count);
        if (got >= 0) {
            n = static_cast<std::size_t>(got);
            return true;
        }
        if (errno != EINTR) {
            error = MakeError(errno);
            return false;
        }
    }
}

// Opens a regular file for reading. Folders, pipes and devices are refused
// (a pipe would block the window until someone writes to it).
int OpenRegularFile(const std::string& path, TIoError& error, struct stat* st) {
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) { error = MakeError(errno); return -1; }
    if (::fstat(fd, st) != 0) { error = MakeError(errno); ::close(fd); return -1; }
    if (!S_ISREG(st->st_mode)) {
        error = S_ISDIR(st->st_mode) ? MakeError(EISDIR) : TIoError{EINVAL, "通常のファイルではありません。"};
        ::close(fd);
        return -1;
    }
    return fd;
}

std::optional<TFileTime> FromTimespec(const struct timespec& ts) {
    return TFileTime{static_cast<std::int64_t>(ts.tv_sec), static_cast<std::uint32_t>(ts.tv_nsec)};
}

} // namespace

bool WriteAll(int Fd, const std::uint8_t* Data, std::size_t Size, int& Err) {
    while (Size > 0) {
        const ssize_t n = ::write(Fd, Data, std::min(Size, kWritePiece));
        if (n < 0) {
            if (errno == EINTR) continue;
            Err = errno;
            return false;
        }
        Data += n;
        Size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool MatchesPattern(const std::string& Name, const std::string& Pattern) {
    return MatchFrom(Name.c_str(), Pattern.c_str());
}

std::string IoErrorText(int Code) {
    switch (Code) {
    case ENOENT: return "ファイルまたはフォルダが見つかりません。";
    case EACCES:
    case EPERM: return "アクセスが拒否されました。";
    case ENOSPC: return "ディスクの空き容量が足りません。";
    case EDQUOT: return "ディスクの使用量の上限に達しました。";
    case EFBIG: return "ファイルが大きすぎます。";
    case EISDIR: return "ファイルではなくフォルダです。";
    case ENOTDIR: return "パスの途中にフォルダではないものがあります。";
    case EROFS: return "読み取り専用の場所です。";
    case ENAMETOOLONG: return "パスが長すぎます。";
    case ENOMEM: return "メモリが足りません。";
    case EIO: return "入出力エラーが発生しました。";
    case 0: return "";
    default: return "入出力エラーが発生しました (エラー番号 " + std::to_string(Code) + ")。";
    }
}

bool TPosixFileSystem::ReadWholeFile(const std::string& Path, TByteBuffer& Data, TIoError& Error) {
    struct stat st;
    int fd = OpenRegularFile(Path, Error, &st);
    if (fd < 0) return false;
    try {
        // Straight into the buffer, one byte more than the file's size so the
        // end is seen without growing it; a file that grew meanwhile is read on.
        const std::size_t expected = st.st_size > 0 ? static_cast<std::size_t>(st.st_size) + 1 : 65536;
        Data.reserve(expected);
        PrepareLarge(Data.data(), expected);
        Data.resize(expected);
        std::size_t got = 0;
        for (;;) {
            if (got == Data.size()) Data.resize(Data.size() * 2);
            std::size_t n = 0;
            if (!ReadSome(fd, Data.data() + got, Data.size() - got, n, Error)) {
                ::close(fd);
                return false;
            }
            if (n == 0) break;
            got += n;
        }
        Data.resize(got);
    } catch (const std::bad_alloc&) {
        Error = MakeError(ENOMEM);
        ::close(fd);
        return false;
    }
    ::close(fd);
    return true;
}

TWriteStatus TPosixFileSystem::WriteWholeFile(const std::string& Path, const std::uint8_t* Data, std::size_t Size,
                                              TIoError& Error) {
    return Write(Path, Data, Size, DeferNewFiles, Error);
}

int TPosixFileSystem::SyncFile(int Fd) { return ::fsync(Fd); }

int TPosixFileSystem::SyncFolder(int Fd) { return ::fsync(Fd); }

TWriteStatus TPosixFileSystem::Write(const std::string& Path, const std::uint8_t* Data, std::size_t Size, bool Defer,
                                     TIoError& Error) {
    const std::string target = ResolveLinkTarget(Path);
    struct stat old;
    const bool exists = ::stat(target.c_str(), &old) == 0;
    if (exists && S_ISDIR(old.st_mode)) { Error = MakeError(EISDIR); return TWriteStatus::CannotCreate; }
    // A target that refuses writes stays as it is, as it would when written in place.
    if (exists && ::access(target.c_str(), W_OK) != 0) { Error = MakeError(errno); return TWriteStatus::CannotCreate; }

    std::string temp;
    int fd = CreateTemporaryBeside(target, temp);
    if (fd < 0) { Error = MakeError(errno); return TWriteStatus::CannotCreate; }

    int err = 0;
    bool ok = WriteAll(fd, Data, Size, err);
    // What replaces a file is on the disk before it does.
    const bool syncNow = exists || !Defer;
    if (ok) {
        // The result keeps the old file's permissions; a new file has those
        // that the umask gave the temporary file.
        if (exists) (void)::fchmod(fd, old.st_mode & 07777);
        if (exists && (old.st_uid != ::geteuid() || old.st_gid != ::getegid()))
            (void)::fchown(fd, old.st_uid, old.st_gid);  // best effort: only privileged users can
        if (syncNow && SyncFile(fd) != 0) { err = errno; ok = false; }
#ifdef SYNC_FILE_RANGE_WRITE
        // Deferred: the disk starts on it now, while the run goes on, so
        // that little is left for the flush at the end.
        if (!syncNow) (void)::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
#endif
    }
    if (::close(fd) != 0 && ok) { err = errno; ok = false; }
    if (ok && ::rename(temp.c_str(), target.c_str()) != 0) { err = errno; ok = false; }
    if (!ok) {
        ::unlink(temp.c_str());
        Error = MakeError(err);
        return TWriteStatus::WriteFailed;
    }
    if (!syncNow) {
        Deferred.Add(target);
        UnsyncedFolders.insert(FolderOf(target));
    }
    return TWriteStatus::Ok;
}

bool TPosixFileSystem::FlushWrites(TIoError& Error) {
    bool ok = true;
    // The files first (most are durable by now), then the entries that name them.
    if (const int err = Deferred.Wait()) {
        Error = MakeError(err);
        ok = false;
    }
    for (const std::string& folder : UnsyncedFolders) {
        const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0 || SyncFolder(fd) != 0) {
            if (ok) Error = MakeError(errno);
            ok = false;
        }
        if (fd >= 0) ::close(fd);
    }
    UnsyncedFolders.clear();
    return ok;
}

bool TPosixFileSystem::ReadFirstBytes(const std::string& Path, std::size_t Count, std::vector<std::uint8_t>& Bytes,
                                      TIoError& Error) {
    struct stat st;
    int fd = OpenRegularFile(Path, Error, &st);
    if (fd < 0) return false;
    Bytes.assign(Count, 0);
    std::size_t got = 0;
    while (got < Count) {
        std::size_t n = 0;
        if (!ReadSome(fd, Bytes.data() + got, Count - got, n, Error)) {
            ::close(fd);
            return false;
        }
        if (n == 0) break;
        got += n;
    }
    ::close(fd);
    if (got < Count) {
        Error = TIoError{EIO, "ファイルが短すぎます (" + std::to_string(got) + " バイト)。"};
        return false;
    }
    return true;
}

std::vector<TDirEntry> TPosixFileSystem::ListFolder(const std::string& Folder, const std::string& Pattern,
                                                    TListFilter Filter) {
    std::vector<TDirEntry> result;
    DIR* dir = ::opendir(Folder.empty() ? "." : Folder.c_str());
    if (!dir) return result;
    while (struct dirent* e = ::readdir(dir)) {
        std::string name = e->d_name;
        if (name.empty() || name[0] == '.') continue;  // hidden, "." and ".."
        if (!MatchesPattern(name, Pattern)) continue;
        struct stat st;
        std::string full = (Folder.empty() ? std::string() : Folder + (Folder.back() == '/' ? "" : "/")) + name;
        if (::stat(full.c_str(), &st) != 0) continue;  // a dangling link or a vanished entry
        if (S_ISREG(st.st_mode)) {
            result.push_back({name, false});
        } else if (S_ISDIR(st.st_mode) && Filter == TListFilter::FilesAndFolders) {
            result.push_back({name, true});
        }
    }
    ::closedir(dir);
    // The file system's own order is arbitrary on Linux; list by name, letter
    // case disregarded, then byte order, as a desktop user expects.
    std::sort(result.begin(), result.end(), [](const TDirEntry& a, const TDirEntry& b) {
        std::size_t n = std::min(a.Name.size(), b.Name.size());
        for (std::size_t i = 0; i < n; ++i) {
            char x = Lower(a.Name[i]), y = Lower(b.Name[i]);
            if (x != y) return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
        }
        if (a.Name.size() != b.Name.size()) return a.Name.size() < b.Name.size();
        return a.Name < b.Name;
    });
    return result;
}

bool TPosixFileSystem::FileExists(const std::string& Path) {
    struct stat st;
    return ::stat(Path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool TPosixFileSystem::FolderExists(const std::string& Path) {
    struct stat st;
    return ::stat(Path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool TPosixFileSystem::CreateFolder(const std::string& Path) {
    std::string p = Path;
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    if (::mkdir(p.c_str(), 0777) == 0) {
        if (DeferNewFiles) UnsyncedFolders.insert(FolderOf(p));  // the new entry
        return true;
    }
    // Made a moment ago by someone else (another worker of the same run): fine.
    struct stat st;
    return errno == EEXIST && ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool TPosixFileSystem::CopyFile(const std::string& Source, const std::string& Dest, TIoError& Error) {
    TByteBuffer data;
    if (!ReadWholeFile(Source, data, Error)) return false;
    // A copy is a backup that a source may be written over next: never deferred.
    TWriteStatus status = Write(Dest, data.data(), data.size(), false, Error);
    if (status != TWriteStatus::Ok) return false;
    struct stat st;
    if (::stat(Source.c_str(), &st) == 0) (void)::chmod(ResolveLinkTarget(Dest).c_str(), st.st_mode & 07777);
    return true;
}

std::optional<std::int64_t> TPosixFileSystem::FileSize(const std::string& Path) {
    struct stat st;
    if (::stat(Path.c_str(), &st) != 0) return std::nullopt;
    return static_cast<std::int64_t>(st.st_size);
}

std::optional<std::string> TPosixFileSystem::FolderIdentity(const std::string& Path) {
    struct stat st;
    if (::stat(Path.c_str(), &st) != 0) return std::nullopt;
    return std::to_string(static_cast<unsigned long long>(st.st_dev)) + ":" +
           std::to_string(static_cast<unsigned long long>(st.st_ino));
}

TFileTimes TPosixFileSystem::GetFileTimes(const std::string& Path) {
    TFileTimes times;
#ifdef STATX_BTIME
    struct statx sx;
    if (::statx(AT_FDCWD, Path.c_str(), 0, STATX_MTIME | STATX_BTIME, &sx) == 0) {
        if (sx.stx_mask & STATX_MTIME)
            times.LastWrite = TFileTime{sx.stx_mtime.tv_sec, sx.stx_mtime.tv_nsec};
        if (sx.stx_mask & STATX_BTIME)
            times.Creation = TFileTime{sx.stx_btime.tv_sec, sx.stx_btime.tv_nsec};
        return times;
    }
#endif
    struct stat st;
    if (::stat(Path.c_str(), &st) == 0) times.LastWrite = FromTimespec(st.st_mtim);
    return times;
}

// Linux offers no call that sets a file's birth time; the creation time of a
// result is therefore whatever the file system gave it when it was written.
bool TPosixFileSystem::SetCreationTime(const std::string&, const TFileTime&) { return false; }

bool TPosixFileSystem::SetLastWriteTime(const std::string& Path, const TFileTime& Time) {
    struct timespec ts[2];
    ts[0].tv_sec = 0;
    ts[0].tv_nsec = UTIME_OMIT;  // access time unchanged
    ts[1].tv_sec = static_cast<time_t>(Time.Sec);
    ts[1].tv_nsec = static_cast<long>(Time.Nsec);
    return ::utimensat(AT_FDCWD, Path.c_str(), ts, 0) == 0;
}

std::string DesktopFromUserDirs(const std::string& UserDirsFileText, const std::string& Home) {
    std::istringstream in(UserDirsFileText);
    std::string line;
    while (std::getline(in, line)) {
        std::size_t i = line.find_first_not_of(" \t");
        if (i == std::string::npos || line[i] == '#') continue;
        const std::string key = "XDG_DESKTOP_DIR=";
        if (line.compare(i, key.size(), key) != 0) continue;
        std::string value = line.substr(i + key.size());
        while (!value.empty() && (value.back() == ' ' || value.back() == '\t' || value.back() == '\r')) value.pop_back();
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
        if (value.rfind("$HOME", 0) == 0) value = Home + value.substr(5);
        if (value.empty() || value[0] != '/') continue;  // only absolute paths are valid
        while (value.size() > 1 && value.back() == '/') value.pop_back();
        // "$HOME/" alone means "no desktop": fall back like the other desktops do.
        if (value == Home) break;
        return value;
    }
    return Home + "/Desktop";
}

std::string TPosixFileSystem::DesktopFolder() {
    std::string home;
    if (const char* h = std::getenv("HOME"); h && *h) {
        home = h;
    } else if (struct passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) {
        home = pw->pw_dir;
    }
    while (home.size() > 1 && home.back() == '/') home.pop_back();
    std::string config;
    if (const char* c = std::getenv("XDG_CONFIG_HOME"); c && *c == '/') config = c;
    else config = home + "/.config";
    std::ifstream f(config + "/user-dirs.dirs");
    std::stringstream text;
    if (f) text << f.rdbuf();
    return DesktopFromUserDirs(text.str(), home);
}

std::uint32_t TSteadyClock::TickMs() {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now().time_since_epoch()).count();
    return static_cast<std::uint32_t>(ms);
}

bool TXdgShell::OpenWithAssociatedProgram(const std::string& Path) {
    // A short-lived shell starts xdg-open in the background and exits, so the
    // viewer is never our child and leaves no zombie behind.
    pid_t pid;
    const char* argv[] = {"sh", "-c", "xdg-open \"$1\" >/dev/null 2>&1 &", "sh", Path.c_str(), nullptr};
    if (::posix_spawnp(&pid, "sh", nullptr, nullptr, const_cast<char* const*>(argv), environ) != 0)
        return false;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

} // namespace lumaro
