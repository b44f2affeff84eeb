#pragma once
// Whole-file reads and crash-safe replacement of small settings files.
#include <string>

namespace lumaro {

enum class TFileReadResult { Ok, Missing, Failed };

// Reads the whole file into text. Missing: no such file. Failed: it exists
// but cannot be read (permissions, a folder, an I/O error).
TFileReadResult ReadWholeTextFile(const std::string& path, std::string& text);

// Creates the folder and every missing parent. True when it exists afterwards.
bool CreateFolderPath(const std::string& folder);

// Replaces (or creates) the file with text: the bytes go to a temporary file
// in the same folder, are flushed to disk and then renamed over the target, so
// a crash or a full disk leaves either the old or the new file, never a part.
// A symbolic link is kept and its target replaced. An existing file keeps its
// permission bits; one its owner made read-only is refused. False, with the
// old file untouched and no temporary file left, on any failure.
bool ReplaceFileAtomically(const std::string& path, const std::string& text);

} // namespace lumaro
