// Byte streams for the picture framework: an abstract TStream, a growable
// TMemoryStream whose buffer callers may read in place, and a TFileStream.
// Failures throw EStreamError (an Exception).
#pragma once

#include "graphics/exceptions.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace zumo {

class EStreamError : public Exception
{
public:
    using Exception::Exception;
};

enum class TSeekOrigin { soBeginning, soCurrent, soEnd };

class TStream
{
public:
    virtual ~TStream() = default;
    // Reads up to count bytes; returns how many were read (0 at the end).
    virtual std::size_t Read(void* buffer, std::size_t count) = 0;
    virtual std::size_t Write(const void* buffer, std::size_t count) = 0;
    // Returns the new position. Positions past the end are allowed.
    virtual std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) = 0;
    virtual std::int64_t Size() = 0;

    std::int64_t Position() { return Seek(0, TSeekOrigin::soCurrent); }
    void SetPosition(std::int64_t position) { Seek(position, TSeekOrigin::soBeginning); }
    // Throws EStreamError unless exactly count bytes were read or written.
    void ReadBuffer(void* buffer, std::size_t count);
    void WriteBuffer(const void* buffer, std::size_t count);
    // Everything from the current position to the end.
    std::vector<std::uint8_t> ReadRest();
};

class TMemoryStream : public TStream
{
public:
    TMemoryStream() = default;

    std::size_t Read(void* buffer, std::size_t count) override;
    std::size_t Write(const void* buffer, std::size_t count) override;
    std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override;
    std::int64_t Size() override { return static_cast<std::int64_t>(m_data.size()); }

    // The whole content, valid until the next write or resize.
    const std::uint8_t* Memory() const { return m_data.data(); }
    std::uint8_t* Memory() { return m_data.data(); }
    void SetSize(std::size_t size) { m_data.resize(size); }
    void Clear();
    // Reads the rest of source from its current position into this stream.
    void LoadFromStream(TStream& source);
    void LoadFromFile(const std::string& path);

private:
    std::vector<std::uint8_t> m_data;
    std::size_t m_position = 0;
};

enum class TFileMode { fmOpenRead, fmCreate };

class TFileStream : public TStream
{
public:
    // Throws EStreamError when the file cannot be opened.
    TFileStream(const std::string& path, TFileMode mode);

    std::size_t Read(void* buffer, std::size_t count) override;
    std::size_t Write(const void* buffer, std::size_t count) override;
    std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override;
    std::int64_t Size() override;

private:
    struct Closer
    {
        void operator()(std::FILE* file) const { std::fclose(file); }
    };
    std::unique_ptr<std::FILE, Closer> m_file;
};

} // namespace zumo
