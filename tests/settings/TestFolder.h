#pragma once
// A private temporary folder per test, with XDG_CONFIG_HOME pointed inside
// it, and a way to run a step as a user who may not write there.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace lumaro::test {

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

inline void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

inline bool Exists(const std::string& path) {
    struct stat info{};
    return lstat(path.c_str(), &info) == 0;
}

class TTempFolder {
public:
    TTempFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "lumaro-settings-XXXXXX").string();
        Path = mkdtemp(pattern.data());
        chmod(Path.c_str(), 0755);  // reachable for the unprivileged step below
        const char* old = std::getenv("XDG_CONFIG_HOME");
        HadConfig = old != nullptr;
        if (old) OldConfig = old;
        setenv("XDG_CONFIG_HOME", (Path + "/config").c_str(), 1);
    }
    ~TTempFolder() {
        if (HadConfig)
            setenv("XDG_CONFIG_HOME", OldConfig.c_str(), 1);
        else
            unsetenv("XDG_CONFIG_HOME");
        std::error_code ignored;
        std::filesystem::remove_all(Path, ignored);
    }
    std::string operator/(const std::string& name) const { return Path + "/" + name; }
    std::string RegistryFile() const { return Path + "/config/Pelvarin/lumaro.reg"; }

    std::string Path;

private:
    bool HadConfig = false;
    std::string OldConfig;
};

// Runs step as a user without write permission on files and folders that are
// not world-writable, and returns what step returned. As root (who may write
// anywhere) the step runs in a child process under the "nobody" user id.
inline std::string RunWithoutWriteAccess(const std::string& folder, const std::function<std::string()>& step) {
    if (geteuid() != 0) {
        chmod(folder.c_str(), 0555);
        std::string result = step();
        chmod(folder.c_str(), 0755);
        return result;
    }
    int channel[2];
    if (pipe(channel) != 0) return "pipe failed";
    pid_t child = fork();
    if (child == 0) {
        close(channel[0]);
        std::string result = (setgid(65534) == 0 && setuid(65534) == 0) ? step() : "setuid failed";
        ssize_t ignored = write(channel[1], result.data(), result.size());
        (void)ignored;
        _exit(0);
    }
    close(channel[1]);
    std::string result;
    char buffer[512];
    ssize_t got;
    while ((got = read(channel[0], buffer, sizeof buffer)) > 0) result.append(buffer, static_cast<std::size_t>(got));
    close(channel[0]);
    int status = 0;
    waitpid(child, &status, 0);
    return result;
}

} // namespace lumaro::test
