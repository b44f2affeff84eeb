#include "Collect.h"

#include <cerrno>
#include <filesystem>

#include "Paths.h"
#include "PosixPlatform.h"

namespace lumaro {

namespace {
const char* const kNotJpegSuffix = "はJPEGファイルではないようです。";
const char* const kNoJpegInFolder = "このフォルダにはJPEGファイルがありません。";
} // namespace

std::string AbsolutePath(const std::string& Path, const std::string& WorkingFolder) {
    const std::string full = (!Path.empty() && Path[0] == '/') ? Path : WorkingFolder + "/" + Path;
    std::string result;
    std::size_t i = 0;
    while (i < full.size()) {
        std::size_t j = full.find('/', i);
        if (j == std::string::npos) j = full.size();
        const std::string part = full.substr(i, j - i);
        if (!part.empty() && part != ".") result += "/" + part;
        i = j + 1;
    }
    return result.empty() ? "/" : result;
}

std::string DisplayPath(const std::string& Absolute, const std::string& SourceDisplay,
                        const std::string& WorkingFolder) {
    if (!SourceDisplay.empty() && SourceDisplay[0] == '/') return Absolute;
    const std::string prefix = IncludeTrailingSeparator(WorkingFolder);
    if (Absolute.rfind(prefix, 0) == 0) return Absolute.substr(prefix.size());
    const std::string relative = std::filesystem::path(Absolute).lexically_relative(WorkingFolder).string();
    return relative.empty() ? Absolute : relative;
}

TCollector::TCollector(IFileSystem& fs, bool recurse, std::string workingFolder)
    : Fs(fs), Recurse(recurse), WorkingFolder(std::move(workingFolder)) {}

void TCollector::Add(const std::string& Given) {
    const std::string path = AbsolutePath(Given, WorkingFolder);
    if (Fs.FolderExists(path)) {
        std::set<std::string> visited;
        if (!AddFolder(path, Given, visited)) Notices.push_back(Given + ": " + kNoJpegInFolder);
        return;
    }
    std::string error;
    if (!Fs.FileExists(path)) {
        std::error_code ec;
        const bool exists = std::filesystem::exists(std::filesystem::symlink_status(path, ec));
        error = !exists ? IoErrorText(ENOENT)
                        : std::string("通常のファイルでもフォルダでもありません。");
        Problems.push_back({Given, Given + ": " + error, -1, true});
        return;
    }
    switch (AddFile(path, Given, error)) {
    case TAdded::NotJpeg:
        Problems.push_back({Given, Given + kNotJpegSuffix, Fs.FileSize(path).value_or(-1), false});
        break;
    case TAdded::Unreadable:
        Problems.push_back({Given, error, Fs.FileSize(path).value_or(-1), true});
        break;
    default:
        break;
    }
}

TCollector::TAdded TCollector::AddFile(const std::string& Path, const std::string& Display, std::string& Error) {
    if (Listed.count(Path)) return TAdded::Duplicate;
    std::vector<std::uint8_t> head;
    TIoError io;
    if (!Fs.ReadFirstBytes(Path, 3, head, io)) {
        Error = Display + " を読み込めませんでした。" + io.Text;
        return TAdded::Unreadable;
    }
    if (head[0] != 0xFF || head[1] != 0xD8 || head[2] != 0xFF) return TAdded::NotJpeg;
    Listed.insert(Path);
    Files.push_back({Path, Display});
    return TAdded::Added;
}

// A folder's own files come before those of its sub-folders, depth first, as
// in the window's folder command. Found means that some visited folder held a
// file named like "*.jpg", whether it could be added or not.
bool TCollector::AddFolder(const std::string& Path, const std::string& Display, std::set<std::string>& Visited) {
    // A folder reached again through a link is not searched twice.
    if (auto id = Fs.FolderIdentity(Path); id && !Visited.insert(*id).second) return false;
    bool found = false;
    for (const TDirEntry& f : Fs.ListFolder(Path, "*.jpg", TListFilter::Files)) {
        found = true;
        const std::string display = JoinPath(Display, f.Name);
        std::string error;
        switch (AddFile(JoinPath(Path, f.Name), display, error)) {
        case TAdded::NotJpeg:
            Notices.push_back(display + kNotJpegSuffix);
            break;
        case TAdded::Unreadable:
            Problems.push_back({display, error, Fs.FileSize(JoinPath(Path, f.Name)).value_or(-1), true});
            break;
        default:
            break;
        }
    }
    if (Recurse) {
        for (const TDirEntry& e : Fs.ListFolder(Path, "*", TListFilter::FilesAndFolders)) {
            if (!e.IsFolder) continue;
            const bool sub = AddFolder(JoinPath(Path, e.Name), JoinPath(Display, e.Name), Visited);
            found = found || sub;
        }
    }
    return found;
}

} // namespace lumaro
