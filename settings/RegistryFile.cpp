#include "RegistryFile.h"
#include "StoreText.h"

#include "ConfigFile.h"

#include <algorithm>
#include <cstdio>

namespace lumaro {

namespace {

const char kHeader[] = "Windows Registry Editor Version 5.00";

using namespace storetext;

bool StartsWithNoCase(const std::string& text, const std::string& prefix) {
    return text.size() >= prefix.size() && SameName(text.substr(0, prefix.size()), prefix);
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = Lower(c);
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

std::string NormalKeyPath(std::string path) {
    path = Trim(path);
    if (StartsWithNoCase(path, "HKCU\\")) path = "HKEY_CURRENT_USER" + path.substr(4);
    while (!path.empty() && path.back() == '\\') path.pop_back();
    return path;
}

void AppendUtf8(std::string& out, std::uint32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

// UTF-16LE bytes to UTF-8; a lone surrogate becomes U+FFFD.
std::string Utf16LeToUtf8(const unsigned char* bytes, std::size_t count) {
    std::string out;
    for (std::size_t i = 0; i + 1 < count; i += 2) {
        std::uint32_t unit = bytes[i] | (bytes[i + 1] << 8);
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 3 < count) {
            std::uint32_t low = bytes[i + 2] | (bytes[i + 3] << 8);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                AppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
                i += 2;
                continue;
            }
        }
        AppendUtf8(out, (unit >= 0xD800 && unit <= 0xDFFF) ? 0xFFFD : unit);
    }
    return out;
}

// UTF-8 to UTF-16 code units; a malformed byte becomes U+FFFD.
std::vector<std::uint16_t> Utf8ToUtf16(const std::string& text) {
    std::vector<std::uint16_t> out;
    std::size_t i = 0;
    while (i < text.size()) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        std::uint32_t code = 0xFFFD;
        std::size_t length = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        bool valid = length > 0 && i + length <= text.size();
        if (valid) {
            code = length == 1 ? c : length == 2 ? (c & 0x1F) : length == 3 ? (c & 0x0F) : (c & 0x07);
            for (std::size_t k = 1; k < length && valid; ++k) {
                unsigned char next = static_cast<unsigned char>(text[i + k]);
                valid = (next & 0xC0) == 0x80;
                code = (code << 6) | (next & 0x3F);
            }
        }
        if (!valid) {
            code = 0xFFFD;
            length = 1;
        }
        if (code >= 0x10000) {
            code -= 0x10000;
            out.push_back(static_cast<std::uint16_t>(0xD800 + (code >> 10)));
            out.push_back(static_cast<std::uint16_t>(0xDC00 + (code & 0x3FF)));
        } else {
            out.push_back(static_cast<std::uint16_t>(code));
        }
        i += length;
    }
    return out;
}

// Parses a quoted string starting at text[pos] == '"'; pos ends after the
// closing quote. A registry export escapes only the backslash and the quote.
bool ParseQuoted(const std::string& text, std::size_t& pos, std::string& out) {
    out.clear();
    for (++pos; pos < text.size(); ++pos) {
        char c = text[pos];
        if (c == '"') {
            ++pos;
            return true;
        }
        if (c == '\\' && pos + 1 < text.size() && (text[pos + 1] == '\\' || text[pos + 1] == '"')) c = text[++pos];
        out += c;
    }
    return false;
}

std::string Quote(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    return out + '"';
}

// "hex:..." and "hex(N):..." with comma-separated bytes, possibly over
// several lines joined by a backslash.
bool ParseHex(const std::string& data, unsigned& type, std::vector<unsigned char>& bytes) {
    std::size_t pos = 3;
    type = 3;  // plain "hex:" is REG_BINARY
    if (pos < data.size() && data[pos] == '(') {
        std::size_t close = data.find(')', pos);
        if (close == std::string::npos || close == pos + 1 || close - pos > 9) return false;
        type = 0;
        for (std::size_t i = pos + 1; i < close; ++i) {
            int digit = HexDigit(data[i]);
            if (digit < 0) return false;
            type = type * 16 + static_cast<unsigned>(digit);
        }
        pos = close + 1;
    }
    if (pos >= data.size() || data[pos] != ':') return false;
    std::string list;
    for (std::size_t i = pos + 1; i < data.size(); ++i)
        if (!IsBlank(data[i]) && data[i] != '\n' && data[i] != '\\') list += data[i];
    bytes.clear();
    if (list.empty()) return true;
    for (std::size_t i = 0;; i += 3) {
        if (i + 2 > list.size()) return false;
        int high = HexDigit(list[i]), low = HexDigit(list[i + 1]);
        if (high < 0 || low < 0) return false;
        bytes.push_back(static_cast<unsigned char>(high * 16 + low));
        if (i + 2 == list.size()) return true;
        if (list[i + 2] != ',') return false;
    }
}

} // namespace

TRegValue ParseRegData(const std::string& rawData) {
    std::string data = Trim(rawData);
    TRegValue value;
    if (data == "-") return value;  // a deleted value
    value.Kind = TRegValueKind::Unreadable;
    if (!data.empty() && data[0] == '"') {
        std::size_t pos = 0;
        std::string text;
        if (ParseQuoted(data, pos, text) && pos == data.size()) {
            value.Kind = TRegValueKind::String;
            value.Text = text;
        }
        return value;
    }
    if (StartsWithNoCase(data, "dword:")) {
        std::string digits = data.substr(6);
        if (digits.empty() || digits.size() > 8) return value;
        std::uint32_t number = 0;
        for (char c : digits) {
            int digit = HexDigit(c);
            if (digit < 0) return value;
            number = number * 16 + static_cast<std::uint32_t>(digit);
        }
        value.Kind = TRegValueKind::Dword;
        value.Dword = number;
        return value;
    }
    if (StartsWithNoCase(data, "hex")) {
        unsigned type = 0;
        std::vector<unsigned char> bytes;
        if (!ParseHex(data, type, bytes)) return value;
        if (type == 1 || type == 2) {  // REG_SZ, REG_EXPAND_SZ as UTF-16LE
            if (bytes.size() % 2 != 0) return value;
            std::string text = Utf16LeToUtf8(bytes.data(), bytes.size());
            std::size_t end = text.find('\0');  // the terminator and what follows
            if (end != std::string::npos) text.resize(end);
            value.Kind = type == 1 ? TRegValueKind::String : TRegValueKind::ExpandString;
            value.Text = text;
        } else if (type == 4) {  // REG_DWORD, little-endian
            if (bytes.size() != 4) return value;
            value.Kind = TRegValueKind::Dword;
            value.Dword = bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (static_cast<std::uint32_t>(bytes[3]) << 24);
        } else {
            value.Kind = TRegValueKind::OtherType;
        }
        return value;
    }
    return value;
}

std::string FormatRegString(const std::string& value) {
    if (value.find_first_of(std::string("\r\n\0", 3)) == std::string::npos) return Quote(value);
    // A line break cannot stand inside a quoted value: write it as REG_SZ in hex.
    std::string out = "hex(1):";
    char byte[4];
    std::vector<std::uint16_t> units = Utf8ToUtf16(value);
    units.push_back(0);
    for (std::size_t i = 0; i < units.size(); ++i) {
        std::snprintf(byte, sizeof byte, "%02x", units[i] & 0xFF);
        out += byte;
        std::snprintf(byte, sizeof byte, ",%02x", units[i] >> 8);
        out += byte;
        if (i + 1 < units.size()) out += ',';
    }
    return out;
}

TRegistryFileKey::TRegistryFileKey(std::string keyPath, const std::string& text) : KeyPath(std::move(keyPath)) {
    Parse(text);
}

void TRegistryFileKey::Parse(const std::string& input) {
    std::string text;
    if (input.size() >= 2 && static_cast<unsigned char>(input[0]) == 0xFF &&
        static_cast<unsigned char>(input[1]) == 0xFE) {
        // regedit itself exports UTF-16LE with a byte order mark
        text = Utf16LeToUtf8(reinterpret_cast<const unsigned char*>(input.data()) + 2, input.size() - 2);
    } else if (input.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        text = input.substr(3);
    } else {
        text = input;
    }

    const std::vector<std::string> lines = SplitLines(text);

    std::string wanted = NormalKeyPath(KeyPath);
    bool headerSeen = false;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::string trimmed = Trim(lines[i]);
        if (!headerSeen && Sections.empty() && (trimmed == kHeader || trimmed == "REGEDIT4")) {
            headerSeen = true;
            continue;
        }
        if (trimmed.size() >= 2 && trimmed.front() == '[' && trimmed.back() == ']') {
            TSection section;
            section.KeyLine = trimmed;
            section.KeyPath = NormalKeyPath(trimmed.substr(1, trimmed.size() - 2));
            if (KeyIndex < 0 && SameName(section.KeyPath, wanted)) KeyIndex = static_cast<int>(Sections.size());
            Sections.push_back(std::move(section));
            continue;
        }
        if (Sections.empty()) {
            if (!trimmed.empty()) Preamble.push_back(lines[i]);
            continue;
        }
        TLine line;
        line.Raw = lines[i];
        std::size_t pos = lines[i].find_first_not_of(" \t");
        if (pos != std::string::npos && (lines[i][pos] == '"' || lines[i][pos] == '@')) {
            std::string name;
            bool named = lines[i][pos] == '@' ? (++pos, true) : ParseQuoted(lines[i], pos, name);
            while (named && pos < lines[i].size() && IsBlank(lines[i][pos])) ++pos;
            if (named && pos < lines[i].size() && lines[i][pos] == '=') {
                line.IsValue = true;
                line.Name = name;
                line.Data = lines[i].substr(pos + 1);
                // Long hex data goes on over lines that end in a backslash.
                if (StartsWithNoCase(Trim(line.Data), "hex")) {
                    while (!Trim(line.Data).empty() && Trim(line.Data).back() == '\\' && i + 1 < lines.size()) {
                        ++i;
                        line.Raw += "\n" + lines[i];
                        line.Data += "\n" + lines[i];
                    }
                }
            }
        }
        Sections.back().Lines.push_back(std::move(line));
    }
}

TRegValue TRegistryFileKey::Read(const std::string& name) const {
    if (KeyIndex < 0) return {};
    const auto& lines = Sections[static_cast<std::size_t>(KeyIndex)].Lines;
    // As when a registry export is imported, a later line wins.
    for (auto it = lines.rbegin(); it != lines.rend(); ++it)
        if (it->IsValue && SameName(it->Name, name)) return ParseRegData(it->Data);
    return {};
}

TRegistryFileKey::TSection& TRegistryFileKey::OwnKey() {
    if (KeyIndex < 0) {
        TSection section;
        section.KeyPath = NormalKeyPath(KeyPath);
        section.KeyLine = "[" + section.KeyPath + "]";
        KeyIndex = static_cast<int>(Sections.size());
        Sections.push_back(std::move(section));
    }
    return Sections[static_cast<std::size_t>(KeyIndex)];
}

void TRegistryFileKey::Put(const std::string& name, const std::string& data) {
    auto& lines = OwnKey().Lines;
    TLine line;
    line.IsValue = true;
    line.Name = name;
    line.Data = data;
    line.Raw = (name.empty() ? std::string("@") : Quote(name)) + "=" + data;
    auto first = std::find_if(lines.begin(), lines.end(),
                              [&](const TLine& l) { return l.IsValue && SameName(l.Name, name); });
    if (first == lines.end()) {
        // After the last value, before blank lines and comments that close the key.
        auto last = std::find_if(lines.rbegin(), lines.rend(), [](const TLine& l) { return l.IsValue; });
        lines.insert(last.base(), std::move(line));
        return;
    }
    *first = std::move(line);
    lines.erase(std::remove_if(first + 1, lines.end(),
                               [&](const TLine& l) { return l.IsValue && SameName(l.Name, name); }),
                lines.end());
}

bool TRegistryFileKey::WriteDword(const std::string& name, std::uint32_t value) {
    char data[16];
    std::snprintf(data, sizeof data, "dword:%08x", value);
    Put(name, data);
    return true;
}

bool TRegistryFileKey::WriteString(const std::string& name, const std::string& value) {
    Put(name, FormatRegString(value));
    return true;
}

std::string TRegistryFileKey::Text() const {
    std::string out = std::string(kHeader) + "\n\n";
    if (!Preamble.empty()) {
        for (const auto& line : Preamble) out += line + "\n";
        out += "\n";
    }
    for (const auto& section : Sections) {
        out += section.KeyLine + "\n";
        std::size_t count = section.Lines.size();
        while (count > 0 && Trim(section.Lines[count - 1].Raw).empty()) --count;
        for (std::size_t i = 0; i < count; ++i) out += section.Lines[i].Raw + "\n";
        out += "\n";
    }
    return out;
}

bool TRegistryFileKey::Flush() {
    if (FilePath.empty()) return false;
    std::size_t cut = FilePath.find_last_of('/');
    if (cut != std::string::npos && cut > 0 && !CreateFolderPath(FilePath.substr(0, cut))) return false;
    return ReplaceFileAtomically(FilePath, Text());
}

std::unique_ptr<TRegistryFileKey> TRegistryFileKey::OpenForWrite(const std::string& filePath,
                                                                 const std::string& keyPath) {
    std::string text;
    if (filePath.empty() || ReadWholeTextFile(filePath, text) == TFileReadResult::Failed) return nullptr;
    auto key = std::make_unique<TRegistryFileKey>(keyPath, text);
    key->FilePath = filePath;
    return key;
}

std::unique_ptr<TRegistryFileKey> TRegistryFileKey::OpenOrCreate(const std::string& filePath,
                                                                 const std::string& keyPath) {
    auto key = OpenForWrite(filePath, keyPath);
    if (key && !key->HasKey()) {
        key->OwnKey();
        if (!key->Flush()) return nullptr;
    }
    return key;
}

} // namespace lumaro
