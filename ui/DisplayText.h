#pragma once
// Texts that the windows derive from paths and sizes. No widgets here, so the
// rules can be tested on their own.
#include <cstdint>
#include <functional>
#include <string>

#include <QLocale>
#include <QString>

namespace lumaro::ui {

#ifdef _WIN32
inline constexpr char kPathSep = '\\';
#else
inline constexpr char kPathSep = '/';
#endif

// The last path component ("a.jpg" of "/p/a.jpg").
std::string FileNamePart(const std::string& path, char sep = kPathSep);

// The folder of a path without its trailing separator; a file directly in a
// root keeps the root's separator ("/" on POSIX, "C:\" on Windows).
std::string FolderPart(const std::string& path, char sep = kPathSep);

// A byte count in whole units with the locale's thousands separator
// ("1,234,567"). The C locale's habit of omitting the separator is overridden.
QString FormatSize(std::int64_t bytes, const QLocale& locale = QLocale());

// Shortens a folder path to fit `maxWidth` as measured by `width`: leading
// folders give way to "..." one at a time, then the drive, and at last only
// the final folder name is left. A drive ("C:") is only recognised when the
// separator is a backslash.
std::string ShortenFolderPath(const std::string& path, int maxWidth,
                              const std::function<int(const std::string&)>& width, char sep = kPathSep);

} // namespace lumaro::ui
