#pragma once
// One registry key seen as named values, whatever actually holds them: the
// Windows registry, or a registry-export text file on other systems.
#include <cstdint>
#include <memory>
#include <string>

namespace lumaro {

enum class TRegValueKind {
    Missing,       // no value of that name
    Dword,         // REG_DWORD
    String,        // REG_SZ
    ExpandString,  // REG_EXPAND_SZ, handed over unexpanded
    OtherType,     // binary, QWORD, multi-string, big-endian DWORD...
    Unreadable,    // present but its data cannot be taken
};

struct TRegValue {
    TRegValueKind Kind = TRegValueKind::Missing;
    std::uint32_t Dword = 0;
    std::string Text;  // UTF-8
};

class TRegistryKey {
public:
    virtual ~TRegistryKey() = default;
    virtual TRegValue Read(const std::string& name) const = 0;
    virtual bool WriteDword(const std::string& name, std::uint32_t value) = 0;
    virtual bool WriteString(const std::string& name, const std::string& value) = 0;
    // Makes the writes so far lasting. A store that writes through at once
    // has nothing left to do here.
    virtual bool Flush() = 0;
};

} // namespace lumaro
