#include "spi/host/spi_serve.h"

#include "spi/host/dib_blocks.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <vector>

namespace zumo::spihost {
namespace {

// The entry points of the loaded plug-in, bound once.
struct Entries
{
    SusieGetPluginInfo get_plugin_info = nullptr;
    SusieIsSupported is_supported = nullptr;
    SusieGetPictureInfo get_picture_info = nullptr;
    SusieGetPicture get_picture = nullptr;
    SusieGetPicture get_preview = nullptr;
    std::uint32_t mask = 0;
};

Entries bind_entries(PluginLibrary& library)
{
    Entries e;
    for (const EntryName& entry : k_entry_names)
        if (library.symbol(entry.name))
            e.mask |= entry.bit;
    e.get_plugin_info = reinterpret_cast<SusieGetPluginInfo>(library.symbol("GetPluginInfo"));
    e.is_supported = reinterpret_cast<SusieIsSupported>(library.symbol("IsSupported"));
    e.get_picture_info = reinterpret_cast<SusieGetPictureInfo>(library.symbol("GetPictureInfo"));
    e.get_picture = reinterpret_cast<SusieGetPicture>(library.symbol("GetPicture"));
    e.get_preview = reinterpret_cast<SusieGetPicture>(library.symbol("GetPreview"));
    return e;
}

// A request the plug-in cannot serve: the program checks the entry points
// before it asks, so this is a broken conversation.
struct RequestRefused
{
};

class Server
{
public:
    Server(Channel& channel, HostSystem& system, const Entries& entries)
        : m_channel(channel), m_system(system), m_entries(entries)
    {
    }

    // False when the conversation ends.
    bool handle(const Frame& frame);

private:
    friend int SUSIE_API progress_callback(int done, int total, susie_intptr data);

    bool get_plugin_info(const Frame& frame);
    bool is_supported(const Frame& frame);
    bool get_picture_info(const Frame& frame);
    bool get_picture(const Frame& frame);
    int progress(int done, int total);
    // The source as the plug-in takes it: file name in its form, or data.
    struct PluginSource
    {
        std::string path;
        const char* buffer = nullptr;
        susie_intptr length = 0;
    };
    PluginSource plugin_source(const SourceRef& source);

    Channel& m_channel;
    HostSystem& m_system;
    Entries m_entries;
    // Set when the program went away during a progress report: the plug-in
    // is asked to stop and the conversation ends after it returns.
    bool m_ended = false;
};

int SUSIE_API progress_callback(int done, int total, susie_intptr data)
{
    return reinterpret_cast<Server*>(data)->progress(done, total);
}

int Server::progress(int done, int total)
{
    if (m_ended)
        return 1;
    std::vector<std::uint8_t> payload = encode(ProgressMessage{done, total});
    std::optional<Frame> reply;
    try {
        if (write_frame(m_channel, MessageType::Progress, payload))
            reply = read_frame(m_channel);
    } catch (const ProtocolError&) {
        reply.reset();
    }
    if (!reply || reply->type != MessageType::ProgressReply || reply->payload.size() != 4) {
        m_ended = true;
        return 1;
    }
    return decode_i32(reply->payload) != 0 ? 1 : 0;
}

Server::PluginSource Server::plugin_source(const SourceRef& source)
{
    PluginSource s;
    if (source.is_memory()) {
        s.buffer = reinterpret_cast<const char*>(source.data.data());
        // A 32-bit plug-in takes at most 2 GiB; the frame limit is far below.
        s.length = static_cast<susie_intptr>(source.data.size());
        return s;
    }
    if (source.offset > std::numeric_limits<std::int32_t>::max())
        throw ProtocolError("file offset out of range");
    s.path = m_system.plugin_path(source.path);
    s.buffer = s.path.c_str();
    s.length = static_cast<susie_intptr>(source.offset);
    return s;
}

bool Server::get_plugin_info(const Frame& frame)
{
    InfoRequest request = decode_info_request(frame.payload);
    if (!m_entries.get_plugin_info || request.length < 0 || request.length > 65535)
        throw RequestRefused{};
    // One byte more than the plug-in is told, so that a text of the full
    // length still ends in a NUL here.
    std::vector<char> buffer(static_cast<std::size_t>(request.length) + 1, '\0');
    InfoReply reply;
    reply.result = m_entries.get_plugin_info(request.number, buffer.data(), request.length);
    if (reply.result > 0)
        reply.text = m_system.program_text(
            std::string(buffer.begin(), std::find(buffer.begin(), buffer.end() - 1, '\0')));
    return write_frame(m_channel, MessageType::InfoReply, encode(reply));
}

bool Server::is_supported(const Frame& frame)
{
    SupportRequest request = decode_support_request(frame.payload);
    if (!m_entries.is_supported)
        throw RequestRefused{};
    std::string name = request.name.empty() ? std::string() : m_system.plugin_path(request.name);
    // A copy with the zero tail the host's own head buffer has: some
    // plug-ins look a little past the 2 KB.
    std::vector<std::uint8_t> head(k_head_size + 128, 0);
    std::memcpy(head.data(), request.head.data(), request.head.size());
    std::int32_t result = m_entries.is_supported(name.c_str(), head.data());
    return write_frame(m_channel, MessageType::SupportReply, encode_i32(result));
}

bool Server::get_picture_info(const Frame& frame)
{
    SourceRef source = decode_source(frame.payload);
    if (!m_entries.get_picture_info)
        throw RequestRefused{};
    PluginSource s = plugin_source(source);
    SusiePictureInfo info{};
    PictureInfoReply reply;
    reply.result = m_entries.get_picture_info(s.buffer, s.length, source.flag, &info);
    susie_handle text = info.hInfo;
    const void* text_bytes = nullptr;
    if (reply.result == 0) {
        reply.left = info.left;
        reply.top = info.top;
        reply.width = info.width;
        reply.height = info.height;
        reply.x_density = info.x_density;
        reply.y_density = info.y_density;
        reply.color_depth = info.colorDepth;
        if (text && (text_bytes = m_system.lock(text))) {
            reply.has_text = true;
            reply.text = {static_cast<const std::uint8_t*>(text_bytes), m_system.size(text)};
        }
    }
    bool ok = write_frame(m_channel, MessageType::PictureInfoReply, encode(reply));
    if (text_bytes)
        m_system.unlock(text);
    if (reply.result == 0 && text)
        m_system.free(text);
    return ok;
}

// The parts of a plug-in's blocks that the picture needs: the header with
// its masks and colour table, and the padded rows. Whatever a plug-in
// allocated beyond them stays here, untouched, so a huge block for a small
// picture costs neither its copy nor the program's memory. Blocks that do
// not hold what their header claims are not handed over at all.
bool picture_blocks(const std::uint8_t* info, std::size_t info_size, const std::uint8_t* bits,
                    std::size_t bits_size, PictureReply& reply)
{
    if (info_size < static_cast<std::size_t>(k_dib_info_header))
        return false;
    const DibLayout layout = dib_layout(info);
    if (!layout_is_sane(layout, info_size, bits_size))
        return false;
    reply.info = {info, static_cast<std::size_t>(layout.info_bytes())};
    reply.bits = {bits, static_cast<std::size_t>(layout.image_size)};
    return true;
}

bool Server::get_picture(const Frame& frame)
{
    PictureRequest request = decode_picture_request(frame.payload);
    SusieGetPicture entry =
        request.entry == PictureEntry::Preview ? m_entries.get_preview : m_entries.get_picture;
    if (!entry)
        throw RequestRefused{};
    PluginSource s = plugin_source(request.source);
    susie_handle info = nullptr;
    susie_handle bits = nullptr;
    PictureReply reply;
    reply.result = entry(s.buffer, s.length, request.source.flag, &info, &bits, progress_callback,
                         reinterpret_cast<susie_intptr>(this));
    if (m_ended)
        return false;
    // After a failure the handles are not the plug-in's to give: the host
    // treats them as absent, and so does the helper.
    const void* info_bytes = nullptr;
    const void* bits_bytes = nullptr;
    if (reply.result == 0 && info && bits) {
        info_bytes = m_system.lock(info);
        bits_bytes = m_system.lock(bits);
        if (info_bytes && bits_bytes)
            reply.has_blocks = picture_blocks(
                static_cast<const std::uint8_t*>(info_bytes), m_system.size(info),
                static_cast<const std::uint8_t*>(bits_bytes), m_system.size(bits), reply);
        // Shared or not, a picture is never larger than a frame may be.
        if (reply.has_blocks && reply.info.size() + reply.bits.size() <= k_max_payload &&
            m_system.share_blocks(reply.info, reply.bits)) {
            reply.shared = true;
            reply.info_size = static_cast<std::uint32_t>(reply.info.size());
            reply.bits_size = static_cast<std::uint32_t>(reply.bits.size());
        }
    }
    bool ok = write_picture_reply(m_channel, reply);
    if (info_bytes)
        m_system.unlock(info);
    if (bits_bytes)
        m_system.unlock(bits);
    if (reply.result == 0) {
        m_system.free(info);
        m_system.free(bits);
    }
    return ok;
}

bool Server::handle(const Frame& frame)
{
    switch (frame.type) {
    case MessageType::GetPluginInfo:
        return get_plugin_info(frame);
    case MessageType::IsSupported:
        return is_supported(frame);
    case MessageType::GetPictureInfo:
        return get_picture_info(frame);
    case MessageType::GetPicture:
        return get_picture(frame);
    case MessageType::Shutdown:
        write_frame(m_channel, MessageType::Bye, std::span<const std::uint8_t>());
        return false;
    default:
        throw RequestRefused{};
    }
}

} // namespace

int serve(Channel& channel, HostSystem& system, const std::string& path)
{
    std::unique_ptr<PluginLibrary> library = system.load(path);
    ReadyMessage ready;
    Entries entries;
    if (library) {
        entries = bind_entries(*library);
        ready.loaded = true;
        ready.file_name = library->file_name();
        ready.entries = entries.mask;
    }
    if (!write_frame(channel, MessageType::Ready, encode(ready)) || !library)
        return library ? 0 : 1;
    Server server(channel, system, entries);
    try {
        while (std::optional<Frame> frame = read_frame(channel))
            if (!server.handle(*frame))
                return 0;
    } catch (const ProtocolError&) {
        return 2;
    } catch (const RequestRefused&) {
        return 2;
    }
    return 0;
}

} // namespace zumo::spihost
