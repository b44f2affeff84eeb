#include "MappedFile.h"

#include <algorithm>
#include <csignal>
#include <cstring>

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace lumaro {

#if defined(_WIN32)
TMappedFile::~TMappedFile() = default;
bool TMappedFile::Open(const std::string&) { return false; }
bool TMappedFile::Unchanged() const { return true; }
void TMappedFile::Release(std::size_t, std::size_t) {}
void TMappedFile::ReportLostPagesAs(const char*) {}
#else

namespace {

const char* gLostPagesMessage = "";

extern "C" void OnLostPage(int) {
    // Only what is safe in a signal handler: write and _exit.
    const std::size_t n = std::strlen(gLostPagesMessage);
    [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, gLostPagesMessage, n);
    ::_exit(1);
}

} // namespace

TMappedFile::~TMappedFile() {
    if (Bytes) ::munmap(const_cast<std::uint8_t*>(Bytes), Length);
    if (Descriptor >= 0) ::close(Descriptor);
}

bool TMappedFile::Open(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size <= 0) {
        ::close(fd);
        return false;
    }
    const auto size = static_cast<std::size_t>(info.st_size);
    // Its pages are made present by the engine as it begins to read them
    // (the two halves of a large scan side by side): not all here at once.
    void* p = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    if (p == MAP_FAILED) {
        ::close(fd);
        return false;
    }
    Bytes = static_cast<const std::uint8_t*>(p);
    Length = size;
    Descriptor = fd;
    ChangeSeconds = info.st_ctim.tv_sec;
    ChangeNanoseconds = info.st_ctim.tv_nsec;
    ModifySeconds = info.st_mtim.tv_sec;
    ModifyNanoseconds = info.st_mtim.tv_nsec;
    return true;
}

bool TMappedFile::Unchanged() const {
    struct stat info {};
    return Descriptor >= 0 && ::fstat(Descriptor, &info) == 0 && static_cast<std::size_t>(info.st_size) == Length &&
           info.st_ctim.tv_sec == ChangeSeconds && info.st_ctim.tv_nsec == ChangeNanoseconds &&
           info.st_mtim.tv_sec == ModifySeconds && info.st_mtim.tv_nsec == ModifyNanoseconds;
}

void TMappedFile::Release(std::size_t offset, std::size_t length) {
    if (!Bytes || offset >= Length) return;
    length = std::min(length, Length - offset);
    const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    const auto begin = reinterpret_cast<std::uintptr_t>(Bytes) + offset;
    const std::uintptr_t first = (begin + page - 1) & ~(page - 1);
    const std::uintptr_t last = (begin + length) & ~(page - 1);
    // Private and never written: dropped pages are the file's, read again on use.
    if (last > first) ::madvise(reinterpret_cast<void*>(first), last - first, MADV_DONTNEED);
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
