#include "graphics/stream.h"

#include "platform/file_ops.h"

#include <algorithm>
#include <cstring>

namespace zumo {

void TStream::ReadBuffer(void* buffer, std::size_t count)
{
    if (Read(buffer, count) != count)
        throw EStreamError("Stream read error");
}

void TStream::WriteBuffer(const void* buffer, std::size_t count)
{
    if (Write(buffer, count) != count)
        throw EStreamError("Stream write error");
}

std::vector<std::uint8_t> TStream::ReadRest()
{
    std::int64_t position = Position();
    std::int64_t size = Size();
    std::vector<std::uint8_t> bytes(
        static_cast<std::size_t>(std::max<std::int64_t>(0, size - position)));
    if (!bytes.empty())
        ReadBuffer(bytes.data(), bytes.size());
    return bytes;
}

std::size_t TMemoryStream::Read(void* buffer, std::size_t count)
{
    if (m_position >= m_data.size())
        return 0;
    std::size_t n = std::min(count, m_data.size() - m_position);
    std::memcpy(buffer, m_data.data() + m_position, n);
    m_position += n;
    return n;
}

std::size_t TMemoryStream::Write(const void* buffer, std::size_t count)
{
    if (count == 0)
        return 0;
    if (m_position + count > m_data.size())
        m_data.resize(m_position + count);
    std::memcpy(m_data.data() + m_position, buffer, count);
    m_position += count;
    return count;
}

std::int64_t TMemoryStream::Seek(std::int64_t offset, TSeekOrigin origin)
{
    std::int64_t base = origin == TSeekOrigin::soBeginning ? 0
                        : origin == TSeekOrigin::soCurrent ? static_cast<std::int64_t>(m_position)
                                                           : Size();
    std::int64_t target = base + offset;
    if (target < 0)
        throw EStreamError("Stream seek error");
    m_position = static_cast<std::size_t>(target);
    return target;
}

void TMemoryStream::Clear()
{
    m_data.clear();
    m_position = 0;
}

void TMemoryStream::LoadFromStream(TStream& source)
{
    m_data = source.ReadRest();
    m_position = 0;
}

void TMemoryStream::LoadFromFile(const std::string& path)
{
    TFileStream file(path, TFileMode::fmOpenRead);
    LoadFromStream(file);
}

TFileStream::TFileStream(const std::string& path, TFileMode mode)
    // Reading goes through the platform's open, which refuses named pipes
    // and devices at once instead of blocking the window on them.
    : m_file(mode == TFileMode::fmCreate ? std::fopen(path.c_str(), "w+b")
                                         : platform::open_file_for_reading(path))
{
    if (!m_file)
        throw EStreamError("Cannot open file \"" + path + "\"");
}

std::size_t TFileStream::Read(void* buffer, std::size_t count)
{
    return std::fread(buffer, 1, count, m_file.get());
}

std::size_t TFileStream::Write(const void* buffer, std::size_t count)
{
    return std::fwrite(buffer, 1, count, m_file.get());
}

std::int64_t TFileStream::Seek(std::int64_t offset, TSeekOrigin origin)
{
    int whence = origin == TSeekOrigin::soBeginning ? SEEK_SET
                 : origin == TSeekOrigin::soCurrent ? SEEK_CUR
                                                    : SEEK_END;
    if (std::fseek(m_file.get(), static_cast<long>(offset), whence) != 0)
        throw EStreamError("Stream seek error");
    return std::ftell(m_file.get());
}

std::int64_t TFileStream::Size()
{
    long here = std::ftell(m_file.get());
    std::fseek(m_file.get(), 0, SEEK_END);
    long size = std::ftell(m_file.get());
    std::fseek(m_file.get(), here, SEEK_SET);
    return size;
}

} // namespace zumo
