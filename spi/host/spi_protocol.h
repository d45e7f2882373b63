// The protocol between zumo and the helper process that serves one plug-in
// library (zumo-spi-host). Portable C++ only: the very same sources build
// the native helper, the Windows helpers (mingw-w64) and the program side.
//
// Framing: every message is one frame on a byte channel (the helper's
// standard input carries requests, its standard output answers):
//     u32 magic "ZSPH", u16 version, u16 type, u32 payload length, payload
// Integers are little-endian whatever the machine; byte strings are a u32
// length and the bytes. Fixed widths everywhere, so a 32-bit helper and a
// 64-bit program agree.
//
// Conversation:
//  1. On start the helper loads the plug-in and sends Ready (loaded or not,
//     the path the loader reports, which entry points exist). A helper that
//     could not load the library ends after Ready.
//  2. The program sends one request at a time and reads frames until the
//     matching reply. During GetPicture the helper may send Progress frames
//     first; each is answered by a ProgressReply (0 go on, non-zero stop).
//  3. Shutdown ends the helper (after a Bye), as does the end of its input.
// Anything else (a wrong magic, version or type, a short or oversized
// payload, bytes left over) is a ProtocolError: the channel is dead.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace zumo::spihost {

constexpr std::uint32_t k_magic = 0x4850535A; // "ZSPH" in file order
constexpr std::uint16_t k_version = 1;
constexpr std::size_t k_frame_header_size = 12;
// No single message is larger: the biggest picture the host accepts has
// far fewer bytes, so a larger length means the stream is garbage.
constexpr std::uint32_t k_max_payload = 1u << 30;
// The head IsSupported gets.
constexpr std::size_t k_head_size = 2048;

enum class MessageType : std::uint16_t {
    // helper -> program
    Ready = 1,
    InfoReply = 2,
    SupportReply = 3,
    PictureInfoReply = 4,
    PictureReply = 5,
    Progress = 6,
    Bye = 7,
    // program -> helper
    GetPluginInfo = 20,
    IsSupported = 21,
    GetPictureInfo = 22,
    GetPicture = 23,
    ProgressReply = 24,
    Shutdown = 25,
};

class ProtocolError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// Entry points by bit, in the order the host binds them.
enum EntryBit : std::uint32_t {
    EntryGetPluginInfo = 1u << 0,
    EntryConfigurationDlg = 1u << 1,
    EntryIsSupported = 1u << 2,
    EntryGetPictureInfo = 1u << 3,
    EntryGetPicture = 1u << 4,
    EntryGetPreview = 1u << 5,
    EntryGetArchiveInfo = 1u << 6,
    EntryGetFileInfo = 1u << 7,
    EntryGetFile = 1u << 8,
};
struct EntryName
{
    EntryBit bit;
    const char* name;
};
extern const EntryName k_entry_names[9];

// ---- payload building and reading

class Writer
{
public:
    void u8(std::uint8_t v) { m_bytes.push_back(v); }
    void u16(std::uint16_t v);
    void u32(std::uint32_t v);
    void i32(std::int32_t v) { u32(static_cast<std::uint32_t>(v)); }
    void i64(std::int64_t v);
    void bytes(std::span<const std::uint8_t> data);
    void string(const std::string& text);
    const std::vector<std::uint8_t>& data() const { return m_bytes; }
    std::vector<std::uint8_t> take() { return std::move(m_bytes); }

private:
    std::vector<std::uint8_t> m_bytes;
};

// Reads a payload front to back; any read past its end throws
// ProtocolError, and finish() throws when bytes are left.
class Reader
{
public:
    explicit Reader(std::span<const std::uint8_t> payload) : m_data(payload) {}
    std::uint8_t u8();
    std::uint16_t u16();
    std::uint32_t u32();
    std::int32_t i32() { return static_cast<std::int32_t>(u32()); }
    std::int64_t i64();
    // A view into the payload: valid as long as the payload is.
    std::span<const std::uint8_t> bytes();
    std::string string();
    bool boolean();
    void finish() const;

private:
    std::span<const std::uint8_t> take(std::size_t count);

    std::span<const std::uint8_t> m_data;
    std::size_t m_at = 0;
};

// ---- frames

struct FrameHeader
{
    MessageType type;
    std::uint32_t length;
};

// The 12 header bytes of a frame carrying a payload of length bytes.
std::vector<std::uint8_t> encode_header(MessageType type, std::size_t length);
// Throws ProtocolError for a wrong magic or version, an unknown type or an
// oversized length.
FrameHeader decode_header(std::span<const std::uint8_t, k_frame_header_size> header);

// A byte channel: one end of the helper's pipes. Both calls block until
// done; false means the channel ended (closed, broken, or out of time).
class Channel
{
public:
    virtual ~Channel() = default;
    virtual bool read_exact(void* buffer, std::size_t count) = 0;
    virtual bool write_all(const void* buffer, std::size_t count) = 0;
};

struct Frame
{
    MessageType type{};
    std::vector<std::uint8_t> payload;
};

// False when the channel ended.
bool write_frame(Channel& channel, MessageType type, std::span<const std::uint8_t> payload);
// Header, then the payload's pieces in order (sent without joining them).
bool write_frame(Channel& channel, MessageType type,
                 std::initializer_list<std::span<const std::uint8_t>> pieces);
// Null when the channel ended before a whole frame; ProtocolError for a
// malformed header.
std::optional<Frame> read_frame(Channel& channel);

// ---- messages

struct ReadyMessage
{
    bool loaded = false;
    std::string file_name; // the loaded library's full path as reported
    std::uint32_t entries = 0;
};

struct InfoRequest
{
    std::int32_t number = 0;
    std::int32_t length = 255; // the buffer length handed to the plug-in
};
struct InfoReply
{
    std::int32_t result = 0;
    std::string text; // the buffer up to its first NUL
};

struct SupportRequest
{
    std::string name;
    std::span<const std::uint8_t> head; // k_head_size bytes
};

// The source of GetPictureInfo and GetPicture: a file name with the offset
// of the data, or the data themselves.
struct SourceRef
{
    std::uint32_t flag = 0; // 0 file, 1 memory, as handed to the plug-in
    std::string path;       // file source
    std::int64_t offset = 0;
    std::span<const std::uint8_t> data; // memory source
    bool is_memory() const { return (flag & 7) == 1; }
};

struct PictureInfoReply
{
    std::int32_t result = 0;
    std::int32_t left = 0, top = 0, width = 0, height = 0;
    std::uint16_t x_density = 0, y_density = 0;
    std::int16_t color_depth = 0;
    bool has_text = false;
    std::span<const std::uint8_t> text; // the text-information block
};

enum class PictureEntry : std::uint8_t { Picture = 0, Preview = 1 };

struct PictureRequest
{
    PictureEntry entry = PictureEntry::Picture;
    SourceRef source;
};
// Both blocks are present exactly when result is 0 and the plug-in handed
// both over. They follow in the frame, or, when the program gave the helper
// a way to hand them over in shared memory (see shared_blocks_posix.h), the
// frame states only their sizes and the memory holds the info block and,
// right after it, the bits. The flag byte tells which: 0 no blocks, 1 in
// the frame, 2 in shared memory (a Windows helper never sends 2).
struct PictureReply
{
    std::int32_t result = 0;
    bool has_blocks = false;
    bool shared = false;                // the blocks are in shared memory
    std::span<const std::uint8_t> info; // in the frame
    std::span<const std::uint8_t> bits;
    std::uint32_t info_size = 0; // in shared memory
    std::uint32_t bits_size = 0;
};
enum class BlockPlace : std::uint8_t { None = 0, Frame = 1, Shared = 2 };

struct ProgressMessage
{
    std::int32_t done = 0;
    std::int32_t total = 0;
};

std::vector<std::uint8_t> encode(const ReadyMessage& m);
std::vector<std::uint8_t> encode(const InfoRequest& m);
std::vector<std::uint8_t> encode(const InfoReply& m);
std::vector<std::uint8_t> encode(const SupportRequest& m);
std::vector<std::uint8_t> encode_i32(std::int32_t value);
std::vector<std::uint8_t> encode(const ProgressMessage& m);
std::vector<std::uint8_t> encode(const PictureInfoReply& m);
// Without the memory data, which follow the encoded part as the last
// piece of the frame (a u32 length, then the bytes): see write_request.
std::vector<std::uint8_t> encode_source_prefix(const SourceRef& m);
std::vector<std::uint8_t> encode_picture_prefix(const PictureRequest& m);
// Without the blocks, which follow as two length-prefixed pieces (or, in
// shared memory, as their two sizes).
std::vector<std::uint8_t> encode_picture_reply_prefix(const PictureReply& m);

ReadyMessage decode_ready(std::span<const std::uint8_t> payload);
InfoRequest decode_info_request(std::span<const std::uint8_t> payload);
InfoReply decode_info_reply(std::span<const std::uint8_t> payload);
SupportRequest decode_support_request(std::span<const std::uint8_t> payload);
std::int32_t decode_i32(std::span<const std::uint8_t> payload);
ProgressMessage decode_progress(std::span<const std::uint8_t> payload);
SourceRef decode_source(std::span<const std::uint8_t> payload);
PictureInfoReply decode_picture_info_reply(std::span<const std::uint8_t> payload);
PictureRequest decode_picture_request(std::span<const std::uint8_t> payload);
PictureReply decode_picture_reply(std::span<const std::uint8_t> payload);

// Sends a GetPictureInfo (source) or GetPicture request without copying the
// memory data into a buffer first.
bool write_source_request(Channel& channel, const SourceRef& source);
bool write_picture_request(Channel& channel, const PictureRequest& request);
// Sends a PictureReply with its blocks, or with their sizes when shared.
bool write_picture_reply(Channel& channel, const PictureReply& reply);

} // namespace zumo::spihost
