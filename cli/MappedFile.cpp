#include "MappedFile.h"

#include <csignal>
#include <cstring>

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace lumaro {

namespace {

const char* gLostPagesMessage = "";

extern "C" void OnLostPage(int) {
    // Only what is safe in a signal handler: write and _exit.
    const std::size_t n = std::strlen(gLostPagesMessage);
    if (::write(STDERR_FILENO, gLostPagesMessage, n) < 0) {
    }
    ::_exit(1);
}

} // namespace

#if defined(_WIN32)
TMappedFile::~TMappedFile() = default;
bool TMappedFile::Open(const std::string&) { return false; }
void TMappedFile::ReportLostPagesAs(const char*) {}
#else
TMappedFile::~TMappedFile() {
    if (Bytes) ::munmap(const_cast<std::uint8_t*>(Bytes), Length);
}

bool TMappedFile::Open(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat info {};
    bool ok = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0;
    if (ok) {
        const auto size = static_cast<std::size_t>(info.st_size);
        // Every page at once: one call instead of a fault per page.
        void* p = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
        ok = p != MAP_FAILED;
        if (ok) {
            Bytes = static_cast<const std::uint8_t*>(p);
            Length = size;
        }
    }
    ::close(fd);
    return ok;
}

void TMappedFile::ReportLostPagesAs(const char* message) {
    gLostPagesMessage = message;
    struct sigaction action {};
    action.sa_handler = OnLostPage;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGBUS, &action, nullptr);
}
#endif

} // namespace lumaro
