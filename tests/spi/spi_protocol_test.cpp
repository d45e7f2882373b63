// The helper protocol and the helper's serving loop, driven through an
// in-memory channel with a fake plug-in (no process, no library).
#include "platform/local_mem.h"
#include "spi/host/spi_protocol.h"
#include "spi/host/spi_serve.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>

using namespace zumo::spihost;

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes frame(MessageType type, const Bytes& payload)
{
    Bytes out = encode_header(type, payload.size());
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

// Reads from a script of bytes, collects what is written.
class ScriptChannel : public Channel
{
public:
    explicit ScriptChannel(Bytes input) : m_input(std::move(input)) {}
    bool read_exact(void* buffer, std::size_t count) override
    {
        if (count > m_input.size() - m_at)
            return false;
        std::memcpy(buffer, m_input.data() + m_at, count);
        m_at += count;
        return true;
    }
    bool write_all(const void* buffer, std::size_t count) override
    {
        auto* p = static_cast<const std::uint8_t*>(buffer);
        m_output.insert(m_output.end(), p, p + count);
        return true;
    }
    // The frames written, in order.
    std::vector<Frame> written()
    {
        ScriptChannel replay(m_output);
        std::vector<Frame> frames;
        while (std::optional<Frame> f = read_frame(replay))
            frames.push_back(std::move(*f));
        return frames;
    }

private:
    Bytes m_input;
    std::size_t m_at = 0;
    Bytes m_output;
};

// The fake plug-in: decodes a 2x1 24-bit picture (8 bytes of rows) into a
// larger pixel block, reporting progress twice.
std::string g_seen_name;
int SUSIE_API fake_info(int number, char* buf, int length)
{
    const char* texts[] = {"00IN", "fake", "*.fak", "Fake"};
    if (number < 0 || number > 3)
        return 0;
    std::strncpy(buf, texts[number], static_cast<std::size_t>(length));
    return static_cast<int>(std::strlen(texts[number]));
}
int SUSIE_API fake_supported(const char* name, const void* head)
{
    g_seen_name = name;
    return std::memcmp(head, "FAKE", 4) == 0 ? 1 : 0;
}
int SUSIE_API fake_picture(const char* buf, susie_intptr len, unsigned int flag, susie_handle* info,
                           susie_handle* bits, SusieProgressCallback progress, susie_intptr data)
{
    if (flag == 1 && (len != 4 || std::memcmp(buf, "FAKE", 4) != 0))
        return 2;
    if (progress(0, 2, data) || progress(1, 2, data))
        return 1;
    *info = platform::local_alloc(40);
    *bits = platform::local_alloc(12);
    auto* header = static_cast<std::uint8_t*>(platform::local_lock(*info));
    header[0] = 40;
    header[4] = 2;
    header[8] = 1;
    header[12] = 1;
    header[14] = 24;
    std::memset(platform::local_lock(*bits), 0xAB, 12);
    return 0;
}
class FakeLibrary : public PluginLibrary
{
public:
    void* symbol(const char* name) override
    {
        static const std::map<std::string, void*> entries{
            {"GetPluginInfo", reinterpret_cast<void*>(&fake_info)},
            {"IsSupported", reinterpret_cast<void*>(&fake_supported)},
            {"GetPicture", reinterpret_cast<void*>(&fake_picture)},
        };
        auto it = entries.find(name);
        return it == entries.end() ? nullptr : it->second;
    }
    std::string file_name() override { return "/plugins/fake.spi"; }
};

class FakeSystem : public HostSystem
{
public:
    bool loadable = true;
    // Takes the blocks as shared memory would, keeping a copy.
    bool shares = false;
    Bytes shared;
    bool share_blocks(std::span<const std::uint8_t> info,
                      std::span<const std::uint8_t> bits) override
    {
        if (!shares)
            return false;
        shared.assign(info.begin(), info.end());
        shared.insert(shared.end(), bits.begin(), bits.end());
        return true;
    }
    std::unique_ptr<PluginLibrary> load(const std::string&) override
    {
        return loadable ? std::make_unique<FakeLibrary>() : nullptr;
    }
    std::string plugin_path(const std::string& path) override { return "Z:" + path; }
    const void* lock(susie_handle h) override { return platform::local_lock(h); }
    void unlock(susie_handle h) override { platform::local_unlock(h); }
    std::size_t size(susie_handle h) override { return platform::local_size(h); }
    void free(susie_handle h) override { platform::local_free(h); }
};

Bytes picture_request(PictureEntry entry, const SourceRef& source)
{
    ScriptChannel out({});
    write_picture_request(out, PictureRequest{entry, source});
    return frame(MessageType::GetPicture, out.written().at(0).payload);
}

// The payload of a GetPictureInfo request.
Bytes source_payload(const SourceRef& source)
{
    ScriptChannel out({});
    write_source_request(out, source);
    return out.written().at(0).payload;
}

Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

const Bytes k_fake_data{'F', 'A', 'K', 'E'};

} // namespace

TEST(SpiServe, AnswersAConversationAndEndsOnShutdown)
{
    Bytes head(k_head_size, 0);
    std::memcpy(head.data(), "FAKE", 4);
    SourceRef memory{1, "", 0, k_fake_data};
    ScriptChannel channel(concat({
        frame(MessageType::GetPluginInfo, encode(InfoRequest{0, 255})),
        frame(MessageType::GetPluginInfo, encode(InfoRequest{7, 255})),
        frame(MessageType::IsSupported, encode(SupportRequest{"/p/a.fak", head})),
        picture_request(PictureEntry::Picture, memory),
        frame(MessageType::ProgressReply, encode_i32(0)),
        frame(MessageType::ProgressReply, encode_i32(0)),
        picture_request(PictureEntry::Picture, memory),
        frame(MessageType::ProgressReply, encode_i32(0)),
        frame(MessageType::ProgressReply, encode_i32(1)), // stop
        frame(MessageType::Shutdown, {}),
    }));
    FakeSystem system;
    EXPECT_EQ(serve(channel, system, "/plugins/fake.spi"), 0);

    std::vector<Frame> out = channel.written();
    ASSERT_EQ(out.size(), 11u);
    ReadyMessage ready = decode_ready(out[0].payload);
    EXPECT_TRUE(ready.loaded);
    EXPECT_EQ(ready.file_name, "/plugins/fake.spi");
    EXPECT_EQ(ready.entries, EntryGetPluginInfo | EntryIsSupported | EntryGetPicture);
    EXPECT_EQ(decode_info_reply(out[1].payload).text, "00IN");
    EXPECT_EQ(decode_info_reply(out[2].payload).result, 0);
    EXPECT_EQ(decode_i32(out[3].payload), 1);
    EXPECT_EQ(g_seen_name, "Z:/p/a.fak"); // the plug-in's form of the name
    ProgressMessage first = decode_progress(out[4].payload);
    EXPECT_EQ(first.done, 0);
    EXPECT_EQ(first.total, 2);
    PictureReply decoded = decode_picture_reply(out[6].payload);
    EXPECT_EQ(decoded.result, 0);
    ASSERT_TRUE(decoded.has_blocks);
    EXPECT_EQ(decoded.info.size(), 40u);
    EXPECT_EQ(decoded.bits.size(), 8u); // the rows, not the whole block
    EXPECT_EQ(decoded.info[14], 24);
    EXPECT_EQ(decoded.bits[7], 0xAB);
    PictureReply stopped = decode_picture_reply(out[9].payload);
    EXPECT_EQ(stopped.result, 1);
    EXPECT_FALSE(stopped.has_blocks);
    EXPECT_EQ(out[10].type, MessageType::Bye);
}

// Blocks handed over beside the channel leave only their sizes in the
// reply: the header and the rows, as in the pipe.
TEST(SpiServe, SharedBlocksLeaveTheirSizesInTheReply)
{
    ScriptChannel channel(concat({
        picture_request(PictureEntry::Picture, {1, "", 0, k_fake_data}),
        frame(MessageType::ProgressReply, encode_i32(0)),
        frame(MessageType::ProgressReply, encode_i32(0)),
    }));
    FakeSystem system;
    system.shares = true;
    EXPECT_EQ(serve(channel, system, "fake"), 0);
    std::vector<Frame> out = channel.written();
    ASSERT_EQ(out.size(), 4u);
    PictureReply reply = decode_picture_reply(out[3].payload);
    EXPECT_TRUE(reply.has_blocks && reply.shared);
    EXPECT_EQ(reply.info_size, 40u);
    EXPECT_EQ(reply.bits_size, 8u);
    ASSERT_EQ(system.shared.size(), 48u);
    EXPECT_EQ(system.shared[14], 24);
    EXPECT_EQ(system.shared[47], 0xAB);
}

TEST(SpiServe, EndsWithoutAnswerForWhatItCannotServe)
{
    struct Case
    {
        const char* what;
        Bytes input;
        int status;
    };
    const Case cases[] = {
        {"end of input", {}, 0},
        {"entry the plug-in lacks",
         frame(MessageType::GetPictureInfo, source_payload(SourceRef{0, "/a.fak", 0, {}})), 2},
        {"a reply type as request", frame(MessageType::InfoReply, encode(InfoReply{1, "x"})), 2},
        {"short payload", frame(MessageType::GetPluginInfo, {1, 2, 3}), 2},
        {"wrong head size", frame(MessageType::IsSupported, encode(SupportRequest{"a", Bytes(16)})),
         2},
        {"progress lost mid-picture",
         picture_request(PictureEntry::Picture, {1, "", 0, k_fake_data}), 0},
    };
    for (const Case& c : cases) {
        ScriptChannel channel(c.input);
        FakeSystem system;
        EXPECT_EQ(serve(channel, system, "fake"), c.status) << c.what;
        // Only Ready (and progress reports) went out: never a reply.
        for (const Frame& f : channel.written())
            EXPECT_TRUE(f.type == MessageType::Ready || f.type == MessageType::Progress) << c.what;
    }
}

TEST(SpiServe, UnloadableLibraryIsReportedAndEnds)
{
    ScriptChannel channel(frame(MessageType::Shutdown, {}));
    FakeSystem system;
    system.loadable = false;
    EXPECT_EQ(serve(channel, system, "nothing.spi"), 1);
    std::vector<Frame> out = channel.written();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_FALSE(decode_ready(out[0].payload).loaded);
}

TEST(SpiProtocol, MalformedFramesAreRefused)
{
    auto header = [](std::uint32_t magic, std::uint16_t version, std::uint16_t type,
                     std::uint32_t length) {
        Writer w;
        w.u32(magic);
        w.u16(version);
        w.u16(type);
        w.u32(length);
        return w.take();
    };
    const std::pair<const char*, Bytes> cases[] = {
        {"magic", header(0x12345678, k_version, 1, 0)},
        {"version", header(k_magic, k_version + 1, 1, 0)},
        {"unknown type", header(k_magic, k_version, 99, 0)},
        {"type zero", header(k_magic, k_version, 0, 0)},
        {"oversized", header(k_magic, k_version, 1, k_max_payload + 1)},
    };
    for (const auto& [what, bytes] : cases) {
        ScriptChannel channel(bytes);
        EXPECT_THROW(read_frame(channel), ProtocolError) << what;
    }
    ScriptChannel truncated(concat({header(k_magic, k_version, 2, 10), Bytes{1, 2}}));
    EXPECT_FALSE(read_frame(truncated).has_value());
}

TEST(SpiProtocol, MalformedPayloadsAreRefused)
{
    Writer blocks_on_failure;
    blocks_on_failure.i32(3);
    blocks_on_failure.u8(1);
    blocks_on_failure.u32(0);
    blocks_on_failure.u32(0);
    Writer blocks_unflagged;
    blocks_unflagged.i32(0);
    blocks_unflagged.u8(0);
    blocks_unflagged.u32(1);
    blocks_unflagged.u8(7);
    blocks_unflagged.u32(0);
    Bytes ready = encode(ReadyMessage{true, "x", 1});
    Bytes ready_bad_flag = ready;
    ready_bad_flag[0] = 2;
    Bytes ready_extra = ready;
    ready_extra.push_back(0);
    Bytes string_too_long = encode(InfoReply{1, "abc"});
    string_too_long[4] = 200;
    Bytes nul_in_text = encode(InfoReply{1, std::string("a\0b", 3)});

    const std::pair<const char*, std::function<void()>> cases[] = {
        {"blocks with a failed result", [&] { decode_picture_reply(blocks_on_failure.data()); }},
        {"blocks without their flag", [&] { decode_picture_reply(blocks_unflagged.data()); }},
        {"flag neither 0 nor 1", [&] { decode_ready(ready_bad_flag); }},
        {"bytes left over", [&] { decode_ready(ready_extra); }},
        {"unknown entry bits",
         [&] {
             decode_ready(encode(ReadyMessage{true, "x", 1u << 9}));
         }},
        {"string past the end", [&] { decode_info_reply(string_too_long); }},
        {"NUL inside a text", [&] { decode_info_reply(nul_in_text); }},
        {"negative file offset",
         [&] {
             decode_source(source_payload(SourceRef{0, "a", -1, {}}));
         }},
        {"file source with data",
         [&] {
             decode_source(source_payload(SourceRef{0, "a", 0, k_fake_data}));
         }},
    };
    for (const auto& [what, decode] : cases)
        EXPECT_THROW(decode(), ProtocolError) << what;
}
