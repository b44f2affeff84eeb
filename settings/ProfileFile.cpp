#include "ProfileFile.h"
#include "StoreText.h"

#include <algorithm>
#include <cstdint>

namespace lumaro {

namespace {

using namespace storetext;

bool IsSectionLine(const std::string& trimmed) { return !trimmed.empty() && trimmed.front() == '['; }

std::string SectionName(const std::string& trimmed) {
    std::size_t close = trimmed.find(']');
    return Trim(trimmed.substr(1, close == std::string::npos ? std::string::npos : close - 1));
}

bool IsQuotedPair(const std::string& text) {
    return text.size() >= 2 && (text.front() == '"' || text.front() == '\'') && text.back() == text.front();
}

} // namespace

int ParseProfileInteger(const std::string& text, int fallback) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        std::uint64_t value = 0;
        for (std::size_t i = 2; i < text.size(); ++i) {
            char c = Lower(text[i]);
            int digit = (c >= '0' && c <= '9') ? c - '0' : (c >= 'a' && c <= 'f') ? c - 'a' + 10 : -1;
            if (digit < 0) return fallback;
            value = value * 16 + static_cast<unsigned>(digit);
            if (value > 0xFFFFFFFFu) return fallback;
        }
        // Eight hex digits fill all 32 bits: 0xFFFFFFFF is -1.
        return static_cast<int>(static_cast<std::int32_t>(static_cast<std::uint32_t>(value)));
    }
    std::size_t pos = 0;
    bool negative = false;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) negative = text[pos++] == '-';
    if (pos == text.size()) return fallback;
    std::int64_t value = 0;
    for (; pos < text.size(); ++pos) {
        if (text[pos] < '0' || text[pos] > '9') return fallback;
        value = value * 10 + (text[pos] - '0');
        if (value > 2147483648LL) return fallback;
    }
    if (negative) value = -value;
    if (value > 2147483647LL) return fallback;
    return static_cast<int>(value);
}

TProfileFile::TProfileFile(const std::string& input) {
    std::string text = input;
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        ByteOrderMark = true;
        text.erase(0, 3);
    }
    std::size_t firstBreak = text.find('\n');
    if (firstBreak != std::string::npos && firstBreak > 0 && text[firstBreak - 1] == '\r') LineEnd = "\r\n";
#ifdef _WIN32
    if (firstBreak == std::string::npos) LineEnd = "\r\n";
#endif
    Lines = SplitLines(text);
}

TFileReadResult TProfileFile::Load(const std::string& path, TProfileFile& profile) {
    std::string text;
    TFileReadResult result = ReadWholeTextFile(path, text);
    profile = TProfileFile(result == TFileReadResult::Ok ? text : std::string());
    return result;
}

std::optional<std::size_t> TProfileFile::FindSection(const std::string& section) const {
    for (std::size_t i = 0; i < Lines.size(); ++i) {
        std::string trimmed = Trim(Lines[i]);
        if (IsSectionLine(trimmed) && SameName(SectionName(trimmed), section)) return i;
    }
    return std::nullopt;
}

std::size_t TProfileFile::SectionEnd(std::size_t header) const {
    std::size_t i = header + 1;
    while (i < Lines.size() && !IsSectionLine(Trim(Lines[i]))) ++i;
    return i;
}

std::optional<std::size_t> TProfileFile::FindKey(std::size_t header, const std::string& key) const {
    std::size_t end = SectionEnd(header);
    for (std::size_t i = header + 1; i < end; ++i) {
        std::string trimmed = Trim(Lines[i]);
        if (trimmed.empty() || trimmed[0] == ';') continue;
        std::size_t equals = trimmed.find('=');
        if (equals != std::string::npos && SameName(Trim(trimmed.substr(0, equals)), key)) return i;
    }
    return std::nullopt;
}

std::optional<std::string> TProfileFile::ReadString(const std::string& section, const std::string& key) const {
    auto header = FindSection(section);
    if (!header) return std::nullopt;
    auto line = FindKey(*header, key);
    if (!line) return std::nullopt;
    std::string value = Trim(Lines[*line].substr(Lines[*line].find('=') + 1));
    if (IsQuotedPair(value)) value = value.substr(1, value.size() - 2);
    return value;
}

int TProfileFile::ReadInteger(const std::string& section, const std::string& key, int fallback) const {
    auto value = ReadString(section, key);
    return value ? ParseProfileInteger(*value, fallback) : fallback;
}

bool TProfileFile::WriteString(const std::string& section, const std::string& key, const std::string& value) {
    if ((section + key + value).find_first_of(std::string("\r\n\0", 3)) != std::string::npos) return false;
    // Blanks at either end or a quoted look would be lost on reading: quote it.
    std::string stored = value;
    if (!value.empty() && (IsBlank(value.front()) || IsBlank(value.back()) || IsQuotedPair(value)))
        stored = "\"" + value + "\"";
    std::string line = key + "=" + stored;

    auto header = FindSection(section);
    if (!header) {
        if (!Lines.empty() && !Trim(Lines.back()).empty()) Lines.push_back("");
        Lines.push_back("[" + section + "]");
        Lines.push_back(line);
        return true;
    }
    if (auto existing = FindKey(*header, key)) {
        Lines[*existing] = line;
        return true;
    }
    // After the section's last non-blank line, so the blank line before the
    // next section stays where it was.
    std::size_t at = SectionEnd(*header);
    while (at > *header + 1 && Trim(Lines[at - 1]).empty()) --at;
    Lines.insert(Lines.begin() + static_cast<std::ptrdiff_t>(at), line);
    return true;
}

std::string TProfileFile::Text() const {
    std::string out = ByteOrderMark ? "\xEF\xBB\xBF" : "";
    for (const auto& line : Lines) out += line + LineEnd;
    return out;
}

bool TProfileFile::Save(const std::string& path) const { return ReplaceFileAtomically(path, Text()); }

} // namespace lumaro
