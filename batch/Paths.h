#pragma once
// Path pieces as the run and the collection need them. The separator is the
// platform's own; a root ("/", or "C:\" on Windows) keeps its separator.
#include <string>

namespace lumaro {

#ifdef _WIN32
inline constexpr char kPathSeparator = '\\';
#else
inline constexpr char kPathSeparator = '/';
#endif

// The last path component.
std::string ExtractFileName(const std::string& Path);
// Everything up to and including the last separator ("" when there is none).
std::string ExtractFilePath(const std::string& Path);
// Folder + separator, unless Folder already ends with one (a root, say).
std::string IncludeTrailingSeparator(const std::string& Folder);
// Folder joined with a name, without a doubled separator.
std::string JoinPath(const std::string& Folder, const std::string& Name);
// The part of the file name from its last dot replaced by NewExt, or NewExt
// appended when the name has no dot.
std::string ChangeFileExt(const std::string& Path, const std::string& NewExt);

} // namespace lumaro
