#pragma once
// Turns the PATH arguments into the list of files to run: files as named,
// folders searched for "*.jpg" (and their sub-folders with -r). The same
// duplicate and signature rules as the window's list apply.
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "Platform.h"

namespace lumaro {

struct TListedFile {
    std::string Path;     // absolute, "." components and doubled separators removed
    std::string Display;  // as the user named it (a folder's files joined to it)
};

// A path that could not be taken into the list.
struct TCollectProblem {
    std::string Display;
    std::string Message;          // Japanese
    std::int64_t Size = -1;       // when known
    bool Unreadable = false;      // missing, unreadable or not a file: the run is not started
                                  // without --keep-going; a file that is no JPEG is only skipped
};

class TCollector {
public:
    TCollector(IFileSystem& Fs, bool Recurse, std::string WorkingFolder);

    void Add(const std::string& Given);

    std::vector<TListedFile> Files;
    std::vector<TCollectProblem> Problems;
    std::vector<std::string> Notices;  // folders without JPEG files, non-JPEG "*.jpg" files in folders

private:
    enum class TAdded { Added, Duplicate, NotJpeg, Unreadable };
    TAdded AddFile(const std::string& Path, const std::string& Display, std::string& Error);
    bool AddFolder(const std::string& Path, const std::string& Display, std::set<std::string>& Visited);

    IFileSystem& Fs;
    bool Recurse;
    std::string WorkingFolder;
    std::set<std::string> Listed;
};

// Path as an absolute path without "." components or doubled separators;
// ".." is kept, since it means something else after a symbolic link.
std::string AbsolutePath(const std::string& Path, const std::string& WorkingFolder);

// How a result path is shown: relative to the working folder when the source
// was named relative to it.
std::string DisplayPath(const std::string& AbsolutePath, const std::string& SourceDisplay,
                        const std::string& WorkingFolder);

} // namespace lumaro
