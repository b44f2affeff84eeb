#pragma once
// A registry key kept in a text file in the format of a Windows registry
// export ("Windows Registry Editor Version 5.00", a [HKEY_...] key line and
// "name"=dword:0000002a / "name"="text" lines). Lines this program does not
// know (other keys, other values, comments) are kept as they were.
#include "RegistryKey.h"

#include <string>
#include <vector>

namespace lumaro {

class TRegistryFileKey : public TRegistryKey {
public:
    // keyPath like "HKEY_CURRENT_USER\\Software\\Pelvarin\\lumaro"; text is the
    // file's content ("" for a new file).
    TRegistryFileKey(std::string keyPath, const std::string& text);

    // Opens the key in the file, creating the file and the key when either is
    // missing (written at once). Null when the file cannot be read or created.
    static std::unique_ptr<TRegistryFileKey> OpenOrCreate(const std::string& filePath, const std::string& keyPath);
    // Opens for writing: a missing file starts empty and is only created by
    // Flush. Null when an existing file cannot be read.
    static std::unique_ptr<TRegistryFileKey> OpenForWrite(const std::string& filePath, const std::string& keyPath);

    TRegValue Read(const std::string& name) const override;
    bool WriteDword(const std::string& name, std::uint32_t value) override;
    bool WriteString(const std::string& name, const std::string& value) override;
    bool Flush() override;  // writes the whole file atomically

    bool HasKey() const { return KeyIndex >= 0; }
    std::string Text() const;

private:
    struct TLine {
        std::string Raw;   // as written in the file (continuations joined by "\\\n  ")
        bool IsValue = false;
        std::string Name;  // value name; "" for the default value "@"
        std::string Data;  // the text after '='
    };
    struct TSection {
        std::string KeyLine;  // "[...]"
        std::string KeyPath;
        std::vector<TLine> Lines;
    };

    void Parse(const std::string& text);
    TSection& OwnKey();
    void Put(const std::string& name, const std::string& data);

    std::string KeyPath;
    std::string FilePath;
    std::vector<std::string> Preamble;  // lines before the first key, without the header
    std::vector<TSection> Sections;
    int KeyIndex = -1;
};

// Decoding helpers, exposed for tests.
TRegValue ParseRegData(const std::string& data);
std::string FormatRegString(const std::string& value);  // the data part, quoted or hex(1)

} // namespace lumaro
