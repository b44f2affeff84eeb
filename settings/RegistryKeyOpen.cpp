#include "RegistryKeyOpen.h"

#include "ExecutablePath.h"
#include "RegistryFile.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace lumaro {

#ifdef _WIN32

namespace {

std::wstring Wide(const std::string& text) {
    int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring result(size > 0 ? size : 0, L'\0');
    if (size > 0) MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), size);
    return result;
}

std::string Narrow(const std::wstring& text) {
    int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                   nullptr);
    std::string result(size > 0 ? size : 0, '\0');
    if (size > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), size, nullptr,
                            nullptr);
    return result;
}

// The real key under HKEY_CURRENT_USER; every write goes through at once.
class TWinRegistryKey : public TRegistryKey {
public:
    explicit TWinRegistryKey(HKEY key) : Key(key) {}
    ~TWinRegistryKey() override { RegCloseKey(Key); }

    TRegValue Read(const std::string& name) const override {
        TRegValue value;
        std::wstring wideName = Wide(name);
        DWORD type = 0, size = 0;
        LONG status = RegQueryValueExW(Key, wideName.c_str(), nullptr, &type, nullptr, &size);
        if (status == ERROR_FILE_NOT_FOUND) return value;
        value.Kind = TRegValueKind::Unreadable;
        if (status != ERROR_SUCCESS) return value;
        if (type == REG_DWORD) {
            DWORD number = 0;
            size = sizeof number;
            if (RegQueryValueExW(Key, wideName.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&number), &size) ==
                    ERROR_SUCCESS &&
                size == sizeof number) {
                value.Kind = TRegValueKind::Dword;
                value.Dword = number;
            }
        } else if (type == REG_SZ || type == REG_EXPAND_SZ) {
            std::wstring text(size / sizeof(wchar_t) + 1, L'\0');
            size = static_cast<DWORD>(text.size() * sizeof(wchar_t));
            if (RegQueryValueExW(Key, wideName.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(text.data()),
                                 &size) == ERROR_SUCCESS) {
                text.resize(size / sizeof(wchar_t));
                std::size_t end = text.find(L'\0');
                if (end != std::wstring::npos) text.resize(end);
                value.Kind = type == REG_SZ ? TRegValueKind::String : TRegValueKind::ExpandString;
                value.Text = Narrow(text);
            }
        } else {
            value.Kind = TRegValueKind::OtherType;
        }
        return value;
    }

    bool WriteDword(const std::string& name, std::uint32_t value) override {
        DWORD number = value;
        return RegSetValueExW(Key, Wide(name).c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number),
                              sizeof number) == ERROR_SUCCESS;
    }

    bool WriteString(const std::string& name, const std::string& value) override {
        std::wstring text = Wide(value);
        return RegSetValueExW(Key, Wide(name).c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                              static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
    }

    bool Flush() override { return true; }

private:
    HKEY Key;
};

} // namespace

std::string RegistryFilePath() { return {}; }

std::unique_ptr<TRegistryKey> OpenRegistryKey(bool) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Pelvarin\\lumaro", 0, nullptr, 0, KEY_READ | KEY_WRITE,
                        nullptr, &key, nullptr) != ERROR_SUCCESS)
        return nullptr;
    return std::make_unique<TWinRegistryKey>(key);
}

#else

std::string RegistryFilePath() {
    std::string folder = UserConfigFolder();
    return folder.empty() ? std::string() : folder + "/Pelvarin/lumaro.reg";
}

std::unique_ptr<TRegistryKey> OpenRegistryKey(bool createNow) {
    std::string path = RegistryFilePath();
    if (path.empty()) return nullptr;
    if (createNow) return TRegistryFileKey::OpenOrCreate(path, kRegistryKeyPath);
    return TRegistryFileKey::OpenForWrite(path, kRegistryKeyPath);
}

#endif

} // namespace lumaro
