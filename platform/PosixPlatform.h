#pragma once
// The real file system, clock and shell services on POSIX systems (Linux).
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>

#include "DeferredSync.h"
#include "Platform.h"

namespace lumaro {

class TPosixFileSystem : public IFileSystem {
public:
    // A write is made durable (fsync) before it replaces anything: an existing
    // target, a source written over, a backup's target. A brand-new file may
    // instead be synced on a thread of its own while the run goes on, and
    // waited for by FlushWrites, when DeferNewFiles is set (a batch of many
    // results); a crash meanwhile can lose only such a new file.
    bool DeferNewFiles = false;
    // Makes every file written with a deferred sync durable, and the folders
    // that hold them (and folders made meanwhile) with their new entries;
    // false (with the reason) when the system reports that some could not be
    // written. Only what this object wrote is waited for: a sync of the whole
    // file system would also wait for every other program's unwritten data.
    bool FlushWrites(TIoError& Error);
    // New files made durable on the syncing thread so far (tests).
    int FilesSyncedLater() const { return Deferred.Synced(); }

    bool ReadWholeFile(const std::string& Path, TByteBuffer& Data, TIoError& Error) override;
    TWriteStatus WriteWholeFile(const std::string& Path, const std::uint8_t* Data, std::size_t Size,
                                TIoError& Error) override;
    bool ReadFirstBytes(const std::string& Path, std::size_t Count, std::vector<std::uint8_t>& Bytes,
                        TIoError& Error) override;
    std::vector<TDirEntry> ListFolder(const std::string& Folder, const std::string& Pattern,
                                      TListFilter Filter) override;
    bool FileExists(const std::string& Path) override;
    bool FolderExists(const std::string& Path) override;
    bool CreateFolder(const std::string& Path) override;
    bool CopyFile(const std::string& Source, const std::string& Dest, TIoError& Error) override;
    std::optional<std::int64_t> FileSize(const std::string& Path) override;
    std::optional<std::string> FolderIdentity(const std::string& Path) override;
    TFileTimes GetFileTimes(const std::string& Path) override;
    bool SetCreationTime(const std::string& Path, const TFileTime& Time) override;
    bool SetLastWriteTime(const std::string& Path, const TFileTime& Time) override;
    std::string DesktopFolder() override;

protected:
    // The system calls that make data durable; tests count them.
    virtual int SyncFile(int Fd);
    virtual int SyncFolder(int Fd);

private:
    TWriteStatus Write(const std::string& Path, const std::uint8_t* Data, std::size_t Size, bool Defer,
                       TIoError& Error);
    TDeferredSync Deferred;                 // new files written with a deferred sync
    std::set<std::string> UnsyncedFolders;  // folders with entries made since the last flush
};

// Milliseconds of a monotonic clock, cut to 32 bits.
class TSteadyClock : public IClock {
public:
    std::uint32_t TickMs() override;
};

// Starts "xdg-open Path" without waiting for it.
class TXdgShell : public IShell {
public:
    bool OpenWithAssociatedProgram(const std::string& Path) override;
};

// Writes all of Data to Fd, retrying after signals; false with errno in Err.
// At most kWritePiece bytes per call: the system gives a file's cache room
// as large as the write asks for, and a single huge block can take a virtual
// machine milliseconds to get back from its host (7 of 16 writes of a 2.9 MB
// result took 3 to 7 ms in one go, none in pieces).
inline constexpr std::size_t kWritePiece = std::size_t{256} << 10;
bool WriteAll(int Fd, const std::uint8_t* Data, std::size_t Size, int& Err);

// '*' and '?' wildcard match of a file name, ASCII letter case disregarded.
bool MatchesPattern(const std::string& Name, const std::string& Pattern);

// Japanese text for an errno value, for message boxes.
std::string IoErrorText(int Code);

// The desktop folder as the XDG user-dirs file names it (XDG_DESKTOP_DIR in
// UserDirsFileText, "$HOME" expanded), else Home + "/Desktop".
std::string DesktopFromUserDirs(const std::string& UserDirsFileText, const std::string& Home);

} // namespace lumaro
