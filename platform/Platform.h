#pragma once
// The thin layer between lumaro's core and the machine it runs on. The core
// (file list, collection, run) talks to the outside only through these
// interfaces, so a test can script every dialog answer, record every message
// box and run on real files in a temporary folder.
//
// Paths are UTF-8; sizes are 64-bit. No Qt here: the Qt implementations of the
// dialogs live in ui/, the POSIX file system and clock in PosixPlatform.h.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "LargeMemory.h"

namespace lumaro {

// ---------------------------------------------------------------- files

// A point in time with nanoseconds (seconds since 1970-01-01 UTC).
struct TFileTime {
    std::int64_t Sec = 0;
    std::uint32_t Nsec = 0;
    bool operator==(const TFileTime&) const = default;
};

// Creation time is empty where the file system does not record it.
struct TFileTimes {
    std::optional<TFileTime> Creation;
    std::optional<TFileTime> LastWrite;
};

struct TDirEntry {
    std::string Name;  // last path component only
    bool IsFolder = false;
};

// What a directory listing yields. Hidden entries (a name starting with '.')
// and anything that is neither a regular file nor a folder never appear.
enum class TListFilter {
    Files,           // regular files whose name matches the pattern
    FilesAndFolders  // both, the pattern applied to each name
};

// Outcome of a write that replaces a file.
enum class TWriteStatus {
    Ok,
    CannotCreate,  // the target could not be created: missing folder, no
                   // permission, a read-only target; nothing was written
    WriteFailed    // created, but writing or completing failed (full disk, file
                   // size limit): the temporary file is removed, the old
                   // target (if any) is left exactly as it was
};

// An input/output failure with a Japanese text fit for a message box.
struct TIoError {
    int Code = 0;       // errno-like; 0 = none
    std::string Text;   // e.g. "ファイルが見つかりません。"
};

class IFileSystem {
public:
    virtual ~IFileSystem() = default;

    // Reads the whole file into Data (replacing its contents).
    virtual bool ReadWholeFile(const std::string& Path, TByteBuffer& Data,
                               TIoError& Error) = 0;
    // Replaces Path with Data: the bytes go to a temporary file in the same
    // folder, which is renamed into place only once complete. An existing
    // target's permission bits are kept; a symbolic link is written through.
    virtual TWriteStatus WriteWholeFile(const std::string& Path, const std::uint8_t* Data,
                                        std::size_t Size, TIoError& Error) = 0;
    // Reads exactly Count bytes from the start of the file, opened read-only.
    // A file shorter than Count, a folder or a missing file fail.
    virtual bool ReadFirstBytes(const std::string& Path, std::size_t Count,
                                std::vector<std::uint8_t>& Bytes, TIoError& Error) = 0;
    // Entries of Folder whose names match Pattern ('*' and '?', letter case
    // disregarded), in a stable order: by name without regard to case.
    virtual std::vector<TDirEntry> ListFolder(const std::string& Folder, const std::string& Pattern,
                                              TListFilter Filter) = 0;
    // True for an existing regular file (false for a folder or nothing).
    virtual bool FileExists(const std::string& Path) = 0;
    virtual bool FolderExists(const std::string& Path) = 0;
    // Creates one folder whose parent exists; false on failure.
    virtual bool CreateFolder(const std::string& Path) = 0;
    // Copies Source to Dest, replacing Dest, with the same all-or-nothing
    // guarantee as WriteWholeFile.
    virtual bool CopyFile(const std::string& Source, const std::string& Dest, TIoError& Error) = 0;
    // Size from the directory entry; empty when the file cannot be examined.
    virtual std::optional<std::int64_t> FileSize(const std::string& Path) = 0;
    // Identity of a folder (device and inode, or an equivalent), used to notice
    // a folder that is reached a second time through a link.
    virtual std::optional<std::string> FolderIdentity(const std::string& Path) = 0;
    virtual TFileTimes GetFileTimes(const std::string& Path) = 0;
    // Linux cannot set a file's creation (birth) time: SetCreationTime returns
    // false there and changes nothing.
    virtual bool SetCreationTime(const std::string& Path, const TFileTime& Time) = 0;
    virtual bool SetLastWriteTime(const std::string& Path, const TFileTime& Time) = 0;
    // The user's desktop folder, without a trailing separator.
    virtual std::string DesktopFolder() = 0;
};

// Millisecond tick counter; 32-bit, wraps around.
class IClock {
public:
    virtual ~IClock() = default;
    virtual std::uint32_t TickMs() = 0;
};

// Opens a file in its associated program (the "open" verb).
class IShell {
public:
    virtual ~IShell() = default;
    virtual bool OpenWithAssociatedProgram(const std::string& Path) = 0;
};

// ---------------------------------------------------------------- dialogs

enum class TMsgIcon { None, Information, Warning, Error };
enum class TMsgButtons { Ok, Yes };  // the only button of the box: "OK" or "はい(&Y)"

struct TMessageBox {
    std::string Text;
    std::string Title;  // "エラー" for error boxes, "警告" for warnings
    TMsgIcon Icon = TMsgIcon::None;
    TMsgButtons Buttons = TMsgButtons::Ok;
};

// The button that closed the re-process confirmation dialog, or Closed when
// it was closed without a button.
enum class TWarningButton { Yes, No, Cancel, Closed };

class IDialogs {
public:
    virtual ~IDialogs() = default;
    // Open dialog: filter "JPEGファイル|*.JPG;*.JPEG", several files, typed
    // names accepted even when no such file exists. Empty optional = cancelled.
    virtual std::optional<std::vector<std::string>> OpenFiles() = 0;
    // Folder picker rooted at the desktop; the path without a trailing
    // separator (a root keeps its own). Empty optional = cancelled.
    virtual std::optional<std::string> PickFolder() = 0;
    // Save As: same filter, default extension "JPG", opens on InitialPath, no
    // confirmation before replacing. Empty optional = cancelled.
    virtual std::optional<std::string> SaveAs(const std::string& InitialPath) = 0;
    // Shows the re-process confirmation dialog modally.
    virtual TWarningButton ShowWarning() = 0;
    // A modal message box.
    virtual void ShowMessage(const TMessageBox& Box) = 0;
    virtual void BringToFront() = 0;
};

} // namespace lumaro
