#include "Paths.h"

namespace lumaro {

namespace {
bool IsSeparator(char c) {
#ifdef _WIN32
    return c == '\\' || c == '/' || c == ':';
#else
    return c == '/';
#endif
}

std::size_t LastSeparator(const std::string& path) {
    for (std::size_t i = path.size(); i > 0; --i)
        if (IsSeparator(path[i - 1])) return i - 1;
    return std::string::npos;
}
} // namespace

std::string ExtractFileName(const std::string& Path) {
    std::size_t s = LastSeparator(Path);
    return s == std::string::npos ? Path : Path.substr(s + 1);
}

std::string ExtractFilePath(const std::string& Path) {
    std::size_t s = LastSeparator(Path);
    return s == std::string::npos ? std::string() : Path.substr(0, s + 1);
}

std::string IncludeTrailingSeparator(const std::string& Folder) {
    if (!Folder.empty() && IsSeparator(Folder.back())) return Folder;
    return Folder + kPathSeparator;
}

std::string JoinPath(const std::string& Folder, const std::string& Name) {
    if (Folder.empty()) return Name;
    return IncludeTrailingSeparator(Folder) + Name;
}

std::string ChangeFileExt(const std::string& Path, const std::string& NewExt) {
    std::size_t nameStart = LastSeparator(Path);
    nameStart = nameStart == std::string::npos ? 0 : nameStart + 1;
    std::size_t dot = Path.rfind('.');
    if (dot == std::string::npos || dot < nameStart) return Path + NewExt;
    return Path.substr(0, dot) + NewExt;
}

} // namespace lumaro
