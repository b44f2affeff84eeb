#pragma once
// A whole file mapped read-only into memory, for the one-file form: the
// system's cached pages are used as they are, instead of zeroing as much
// fresh memory and copying the file into it (on a virtual machine, fresh
// memory can cost a millisecond per megabyte).
#include <cstddef>
#include <cstdint>
#include <string>

namespace lumaro {

class TMappedFile {
public:
    TMappedFile() = default;
    TMappedFile(const TMappedFile&) = delete;
    TMappedFile& operator=(const TMappedFile&) = delete;
    ~TMappedFile();

    // False when the file is not a regular, non-empty file or cannot be
    // mapped: the caller reads it instead.
    bool Open(const std::string& path);
    const std::uint8_t* Data() const { return Bytes; }
    std::size_t Size() const { return Length; }
    // False when the file was written to since it was mapped (its size,
    // modification or change time differ): the mapped bytes may then be
    // torn, as a copy read while another program writes would be.
    bool Unchanged() const;
    // The pages wholly within [offset, offset + length) leave this process's
    // memory until they are read again (from the file, as it then is).
    void Release(std::size_t offset, std::size_t length);

    // From now on, a mapped page that can no longer be read (the file was
    // cut short by another program) ends the process with status 1 and
    // `message` on standard error, instead of a crash.
    static void ReportLostPagesAs(const char* message);

private:
    const std::uint8_t* Bytes = nullptr;
    std::size_t Length = 0;
    int Descriptor = -1;
    std::int64_t ChangeSeconds = 0, ChangeNanoseconds = 0, ModifySeconds = 0, ModifyNanoseconds = 0;
};

} // namespace lumaro
