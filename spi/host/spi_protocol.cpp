#include "spi/host/spi_protocol.h"

#include <cstring>

namespace zumo::spihost {

const EntryName k_entry_names[9] = {
    {EntryGetPluginInfo, "GetPluginInfo"},
    {EntryConfigurationDlg, "ConfigurationDlg"},
    {EntryIsSupported, "IsSupported"},
    {EntryGetPictureInfo, "GetPictureInfo"},
    {EntryGetPicture, "GetPicture"},
    {EntryGetPreview, "GetPreview"},
    {EntryGetArchiveInfo, "GetArchiveInfo"},
    {EntryGetFileInfo, "GetFileInfo"},
    {EntryGetFile, "GetFile"},
};

namespace {

bool known_type(std::uint16_t type)
{
    return (type >= static_cast<std::uint16_t>(MessageType::Ready) &&
            type <= static_cast<std::uint16_t>(MessageType::Bye)) ||
           (type >= static_cast<std::uint16_t>(MessageType::GetPluginInfo) &&
            type <= static_cast<std::uint16_t>(MessageType::Shutdown));
}

std::uint32_t checked_length(std::size_t size)
{
    if (size > k_max_payload)
        throw ProtocolError("message too large");
    return static_cast<std::uint32_t>(size);
}

} // namespace

// ---- Writer / Reader

void Writer::u16(std::uint16_t v)
{
    u8(static_cast<std::uint8_t>(v));
    u8(static_cast<std::uint8_t>(v >> 8));
}

void Writer::u32(std::uint32_t v)
{
    u16(static_cast<std::uint16_t>(v));
    u16(static_cast<std::uint16_t>(v >> 16));
}

void Writer::i64(std::int64_t v)
{
    auto u = static_cast<std::uint64_t>(v);
    u32(static_cast<std::uint32_t>(u));
    u32(static_cast<std::uint32_t>(u >> 32));
}

void Writer::bytes(std::span<const std::uint8_t> data)
{
    u32(checked_length(data.size()));
    m_bytes.insert(m_bytes.end(), data.begin(), data.end());
}

void Writer::string(const std::string& text)
{
    bytes({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
}

std::span<const std::uint8_t> Reader::take(std::size_t count)
{
    if (count > m_data.size() - m_at)
        throw ProtocolError("message shorter than its fields");
    std::span<const std::uint8_t> piece = m_data.subspan(m_at, count);
    m_at += count;
    return piece;
}

std::uint8_t Reader::u8()
{
    return take(1)[0];
}

std::uint16_t Reader::u16()
{
    std::span<const std::uint8_t> p = take(2);
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

std::uint32_t Reader::u32()
{
    std::uint32_t low = u16();
    std::uint32_t high = u16();
    return low | (high << 16);
}

std::int64_t Reader::i64()
{
    std::uint64_t low = u32();
    std::uint64_t high = u32();
    return static_cast<std::int64_t>(low | (high << 32));
}

std::span<const std::uint8_t> Reader::bytes()
{
    return take(u32());
}

std::string Reader::string()
{
    std::span<const std::uint8_t> text = bytes();
    return std::string(text.begin(), text.end());
}

bool Reader::boolean()
{
    std::uint8_t value = u8();
    if (value > 1)
        throw ProtocolError("flag neither 0 nor 1");
    return value == 1;
}

void Reader::finish() const
{
    if (m_at != m_data.size())
        throw ProtocolError("bytes left over after the message");
}

// ---- frames

std::vector<std::uint8_t> encode_header(MessageType type, std::size_t length)
{
    Writer w;
    w.u32(k_magic);
    w.u16(k_version);
    w.u16(static_cast<std::uint16_t>(type));
    w.u32(checked_length(length));
    return w.take();
}

FrameHeader decode_header(std::span<const std::uint8_t, k_frame_header_size> header)
{
    Reader r(header);
    if (r.u32() != k_magic)
        throw ProtocolError("not a message of the plug-in helper");
    if (r.u16() != k_version)
        throw ProtocolError("helper speaks another protocol version");
    std::uint16_t type = r.u16();
    if (!known_type(type))
        throw ProtocolError("unknown message type");
    std::uint32_t length = r.u32();
    if (length > k_max_payload)
        throw ProtocolError("message too large");
    return {static_cast<MessageType>(type), length};
}

bool write_frame(Channel& channel, MessageType type, std::span<const std::uint8_t> payload)
{
    return write_frame(channel, type, {payload});
}

bool write_frame(Channel& channel, MessageType type,
                 std::initializer_list<std::span<const std::uint8_t>> pieces)
{
    std::size_t length = 0;
    for (std::span<const std::uint8_t> piece : pieces)
        length += piece.size();
    // Small frames go out in one write: a request and its reply each cost
    // one system call on either side.
    std::vector<std::uint8_t> head = encode_header(type, length);
    constexpr std::size_t k_join_below = 64 * 1024;
    if (length < k_join_below) {
        for (std::span<const std::uint8_t> piece : pieces)
            head.insert(head.end(), piece.begin(), piece.end());
        return channel.write_all(head.data(), head.size());
    }
    if (!channel.write_all(head.data(), head.size()))
        return false;
    for (std::span<const std::uint8_t> piece : pieces)
        if (!piece.empty() && !channel.write_all(piece.data(), piece.size()))
            return false;
    return true;
}

std::optional<Frame> read_frame(Channel& channel)
{
    std::uint8_t header[k_frame_header_size];
    if (!channel.read_exact(header, sizeof header))
        return std::nullopt;
    FrameHeader h = decode_header(std::span<const std::uint8_t, k_frame_header_size>(header));
    Frame frame{h.type, {}};
    frame.payload.resize(h.length);
    if (h.length > 0 && !channel.read_exact(frame.payload.data(), h.length))
        return std::nullopt;
    return frame;
}

// ---- messages

std::vector<std::uint8_t> encode(const ReadyMessage& m)
{
    Writer w;
    w.u8(m.loaded ? 1 : 0);
    w.string(m.file_name);
    w.u32(m.entries);
    return w.take();
}

ReadyMessage decode_ready(std::span<const std::uint8_t> payload)
{
    Reader r(payload);
    ReadyMessage m;
    m.loaded = r.boolean();
    m.file_name = r.string();
    m.entries = r.u32();
    r.finish();
    if (m.entries >= (1u << 9))
        throw ProtocolError("unknown entry points");
    return m;
}

std::vector<std::uint8_t> encode(const InfoRequest& m)
{
    Writer w;
    w.i32(m.number);
    w.i32(m.length);
    return w.take();
}

InfoRequest decode_info_request(std::span<const std::uint8_t> payload)
{
    Reader r(payload);
    InfoRequest m;
    m.number = r.i32();
    m.length = r.i32();
    r.finish();
    return m;
}

std::vector<std::uint8_t> encode(const InfoReply& m)
{
    Writer w;
    w.i32(m.result);
    w.string(m.text);
    return w.take();
}

InfoReply decode_info_reply(std::span<const std::uint8_t> payload)
{
    Reader r(payload);
    InfoReply m;
    m.result = r.i32();
    m.text = r.string();
    r.finish();
    if (m.text.size() > 65535 || m.text.find('\0') != std::string::npos)
        throw ProtocolError("plug-in information text malformed");
    return m;
}

std::vector<std::uint8_t> encode(const SupportRequest& m)
{
    Writer w;
    w.string(m.name);
    w.bytes(m.head);
    return w.take();
}

SupportRequest decode_support_request(std::span<const std::uint8_t> payload)
{
    Reader r(payload);
    SupportRequest m;
    m.name = r.string();
    m.head = r.bytes();
    r.finish();
    if (m.head.size() != k_head_size)
        throw ProtocolError("head of the wrong size");
    return m;
}

std::vector<std::uint8_t> encode_i32(std::int32_t value)
{
    Writer w;
    w.i32(value);
    return w.take();
}

std::int32_t decode_i32(std::span<const std::uint8_t> payload)
{
    Reader r(payload);
    std::int32_t value = r.i32();
    r.finish();
    return value;
}

std::vector<std::uint8_t> encode(const ProgressMessage& m)
{
    Writer w;
    w.i32(m.done);
    w.i32(m.total);
    return w.take();
}

ProgressMessage decode_progress(std::span<const std::uint8_t> payload)
{
    Reader r(payload);
    ProgressMessage m;
    m.done = r.i32();
    m.total = r.i32();
    r.finish();
    return m;
}

namespace {

void write_source_fields(Writer& w, const SourceRef& m)
{
    w.u32(m.flag);
    w.string(m.path);
    w.i64(m.offset);
}

SourceRef read_source(Reader& r)
{
    SourceRef m;
    m.flag = r.u32();
    m.path = r.string();
    m.offset = r.i64();
    m.data = r.bytes();
    if (!m.is_memory() && (m.offset < 0 || !m.data.empty()))
        throw ProtocolError("file source malformed");
    return m;
}

// The u32 length that precedes a block sent as a piece of its own.
std::vector<std::uint8_t> length_prefix(std::size_t size)
{
    Writer w;
    w.u32(checked_length(size));
    return w.take();
}

} // namespace

std::vector<std::uint8_t> encode_source_prefix(const SourceRef& m)
{
    Writer w;
    write_source_fields(w, m);
    return w.take();
}

SourceRef decode_source(std::span<const std::uint8_t> payload)
{
    Reader r(payload);
    SourceRef m = read_source(r);
    r.finish();
    return m;
}

std::vector<std::uint8_t> encode_picture_prefix(const PictureRequest& m)
{
    Writer w;
    w.u8(static_cast<std::uint8_t>(m.entry));
    write_source_fields(w, m.source);
    return w.take();
}

PictureRequest decode_picture_request(std::span<const std::uint8_t> payload)
{
    Reader r(payload);
    PictureRequest m;
    std::uint8_t entry = r.u8();
    if (entry > static_cast<std::uint8_t>(PictureEntry::Preview))
        throw ProtocolError("unknown picture entry");
    m.entry = static_cast<PictureEntry>(entry);
    m.source = read_source(r);
    r.finish();
    return m;
}

bool write_source_request(Channel& channel, const SourceRef& source)
{
    std::vector<std::uint8_t> prefix = encode_source_prefix(source);
    std::vector<std::uint8_t> length = length_prefix(source.data.size());
    return write_frame(channel, MessageType::GetPictureInfo, {prefix, length, source.data});
}

bool write_picture_request(Channel& channel, const PictureRequest& request)
{
    std::vector<std::uint8_t> prefix = encode_picture_prefix(request);
    std::vector<std::uint8_t> length = length_prefix(request.source.data.size());
    return write_frame(channel, MessageType::GetPicture, {prefix, length, request.source.data});
}

std::vector<std::uint8_t> encode(const PictureInfoReply& m)
{
    Writer w;
    w.i32(m.result);
    w.i32(m.left);
    w.i32(m.top);
    w.i32(m.width);
    w.i32(m.height);
    w.u16(m.x_density);
    w.u16(m.y_density);
    w.u16(static_cast<std::uint16_t>(m.color_depth));
    w.u8(m.has_text ? 1 : 0);
    w.bytes(m.text);
    return w.take();
}

PictureInfoReply decode_picture_info_reply(std::span<const std::uint8_t> payload)
{
    Reader r(payload);
    PictureInfoReply m;
    m.result = r.i32();
    m.left = r.i32();
    m.top = r.i32();
    m.width = r.i32();
    m.height = r.i32();
    m.x_density = r.u16();
    m.y_density = r.u16();
    m.color_depth = static_cast<std::int16_t>(r.u16());
    m.has_text = r.boolean();
    m.text = r.bytes();
    r.finish();
    if (!m.has_text && !m.text.empty())
        throw ProtocolError("text information without its flag");
    return m;
}

std::vector<std::uint8_t> encode_picture_reply_prefix(const PictureReply& m)
{
    Writer w;
    w.i32(m.result);
    const BlockPlace place = !m.has_blocks ? BlockPlace::None
                             : m.shared    ? BlockPlace::Shared
                                           : BlockPlace::Frame;
    w.u8(static_cast<std::uint8_t>(place));
    return w.take();
}

bool write_picture_reply(Channel& channel, const PictureReply& reply)
{
    std::vector<std::uint8_t> prefix = encode_picture_reply_prefix(reply);
    if (reply.has_blocks && reply.shared) {
        Writer w;
        w.u32(reply.info_size);
        w.u32(reply.bits_size);
        return write_frame(channel, MessageType::PictureReply, {prefix, w.data()});
    }
    std::vector<std::uint8_t> info_length = length_prefix(reply.info.size());
    std::vector<std::uint8_t> bits_length = length_prefix(reply.bits.size());
    return write_frame(channel, MessageType::PictureReply,
                       {prefix, info_length, reply.info, bits_length, reply.bits});
}

PictureReply decode_picture_reply(std::span<const std::uint8_t> payload)
{
    Reader r(payload);
    PictureReply m;
    m.result = r.i32();
    const std::uint8_t place = r.u8();
    if (place > static_cast<std::uint8_t>(BlockPlace::Shared))
        throw ProtocolError("picture blocks in an unknown place");
    m.has_blocks = place != static_cast<std::uint8_t>(BlockPlace::None);
    m.shared = place == static_cast<std::uint8_t>(BlockPlace::Shared);
    if (m.shared) {
        m.info_size = r.u32();
        m.bits_size = r.u32();
    } else {
        m.info = r.bytes();
        m.bits = r.bytes();
    }
    r.finish();
    if (m.has_blocks && m.result != 0)
        throw ProtocolError("picture blocks with a failed result");
    if (!m.has_blocks && (!m.info.empty() || !m.bits.empty()))
        throw ProtocolError("picture blocks without their flag");
    return m;
}

} // namespace zumo::spihost
