#pragma once
// An INI file read and written the way the classic profile routines do it:
// [section] lines and key=value lines, section and key names without regard
// to letter case, the first match wins, and writing a key leaves every other
// line of the file as it was.
#include "ConfigFile.h"

#include <optional>
#include <string>
#include <vector>

namespace lumaro {

class TProfileFile {
public:
    explicit TProfileFile(const std::string& text = "");

    // Ok or Missing (the profile starts empty); Failed when the file exists
    // but cannot be read.
    static TFileReadResult Load(const std::string& path, TProfileFile& profile);

    // The value with blanks around it removed and one pair of matching quotes
    // taken off; nullopt when the section or key is missing.
    std::optional<std::string> ReadString(const std::string& section, const std::string& key) const;
    // Decimal, or hexadecimal after "0x"/"0X" when longer than two characters;
    // fallback when missing, not a number or out of the 32-bit range.
    int ReadInteger(const std::string& section, const std::string& key, int fallback) const;

    // Sets the key, adding it (and the section) at the end when missing. False,
    // with nothing changed, for text that one line cannot hold.
    bool WriteString(const std::string& section, const std::string& key, const std::string& value);

    std::string Text() const;
    bool Save(const std::string& path) const;  // atomic replacement

private:
    std::optional<std::size_t> FindSection(const std::string& section) const;
    std::size_t SectionEnd(std::size_t header) const;
    std::optional<std::size_t> FindKey(std::size_t header, const std::string& key) const;

    std::vector<std::string> Lines;  // without line ends
    std::string LineEnd = "\n";
    bool ByteOrderMark = false;
};

int ParseProfileInteger(const std::string& text, int fallback);

} // namespace lumaro
