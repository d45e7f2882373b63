// Output through a temporary file in the target's folder (one without a
// name where the file system allows it, so a killed program leaves
// nothing): the file is renamed over the target only by commit(), after
// everything was written and flushed; otherwise the destructor removes it.
// The file that was there before stays untouched on every failure. A
// write-protected target is refused, before writing and again before the
// rename.
#pragma once

#include "platform/file_ops.h"

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

namespace imgctl {

class AtomicFile
{
public:
    // Throws ImageError naming the path and the reason.
    explicit AtomicFile(const std::string& target);
    ~AtomicFile();
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    std::FILE* stream() const { return m_stream; }
    // Throws ImageError when the stream reports a write error.
    void write(std::span<const std::uint8_t> bytes);
    // Flushes, closes and renames over the target; throws ImageError.
    void commit();
    // Throws ImageError("<path>: <what>"); error is the errno behind it, if
    // any.
    [[noreturn]] void fail(const std::string& what, int error = 0) const;
    const std::string& target() const { return m_target; }

private:
    // Throws ImageError when the target is a file without any write bit.
    void refuse_read_only() const;

    std::string m_target;
    platform::TempFile m_temp;
    std::FILE* m_stream = nullptr;
};

// Reads a whole file; throws ImageError naming the path and the reason.
std::vector<std::uint8_t> read_file_bytes(const std::string& path);

} // namespace imgctl
