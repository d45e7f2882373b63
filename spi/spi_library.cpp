#include "spi/spi_library.h"

#include "platform/local_mem.h"
#include "spi/SPIs.h"
#include "spi/helper/spi_helper.h"
#include "spi/helper/spi_launcher.h"
#include "spi/helper/wine.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace zumo {

using namespace spihost;

namespace {

// $ZUMO_SPI_HOSTING ("helper" or "in-process") chooses until the program
// does.
std::optional<SPIHosting> g_hosting;
std::atomic<int> g_helpers_started{0}; // the preview's worker starts helpers too

// ---- in this process

class InProcessLibrary : public SPILibrary
{
public:
    InProcessLibrary(platform::LibraryHandle handle) : m_handle(handle)
    {
        m_file_name = platform::library_file_name(handle);
        for (const EntryName& entry : k_entry_names)
            if (platform::library_symbol(handle, entry.name))
                m_entries |= entry.bit;
        m_info = reinterpret_cast<SusieGetPluginInfo>(symbol("GetPluginInfo"));
        m_supported = reinterpret_cast<SusieIsSupported>(symbol("IsSupported"));
        m_picture_info = reinterpret_cast<SusieGetPictureInfo>(symbol("GetPictureInfo"));
        m_picture = reinterpret_cast<SusieGetPicture>(symbol("GetPicture"));
        m_preview = reinterpret_cast<SusieGetPicture>(symbol("GetPreview"));
    }
    ~InProcessLibrary() override { platform::free_library(m_handle); }

    platform::LibraryHandle Handle() const override { return m_handle; }
    const std::string& FileName() const override { return m_file_name; }
    std::uint32_t Entries() const override { return m_entries; }

    // The module calls only entry points it found present.
    int GetPluginInfo(int number, char* buffer, int length) override
    {
        return m_info(number, buffer, length);
    }
    int IsSupported(const char* name, const void* head) override { return m_supported(name, head); }
    int GetPictureInfo(const char* source, susie_intptr length, unsigned int flag,
                       SusiePictureInfo* info) override
    {
        return m_picture_info(source, length, flag, info);
    }
    int GetPicture(PictureEntry entry, const char* source, susie_intptr length, unsigned int flag,
                   susie_handle* info, susie_handle* bits, SusieProgressCallback callback,
                   susie_intptr data) override
    {
        SusieGetPicture call = entry == PictureEntry::Preview ? m_preview : m_picture;
        return call(source, length, flag, info, bits, callback, data);
    }

private:
    void* symbol(const char* name) { return platform::library_symbol(m_handle, name); }

    platform::LibraryHandle m_handle;
    std::string m_file_name;
    std::uint32_t m_entries = 0;
    SusieGetPluginInfo m_info = nullptr;
    SusieIsSupported m_supported = nullptr;
    SusieGetPictureInfo m_picture_info = nullptr;
    SusieGetPicture m_picture = nullptr;
    SusieGetPicture m_preview = nullptr;
};

// ---- the information cache

// A file as the cache knows it: a change of size or time means another
// library under the same name.
struct FileIdentity
{
    std::int64_t size = -1;
    std::int64_t mtime_ns = 0;
    bool operator==(const FileIdentity&) const = default;
};

std::optional<FileIdentity> identity_of(const std::string& path)
{
    struct stat info
    {
    };
    if (::stat(path.c_str(), &info) != 0)
        return std::nullopt;
    return FileIdentity{static_cast<std::int64_t>(info.st_size),
                        static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 +
                            info.st_mtim.tv_nsec};
}

struct InfoAnswer
{
    std::int32_t result = 0;
    std::string text;
};

// When a library's helper crashed, hung or answered garbage before the
// library was described: such a file is not tried again. Kept in the cache
// file as one byte.
enum class FailedWhile : std::uint8_t { Nothing = 0, ReadingInformation = 1, Loading = 2 };

// What a helper told about one library.
struct CachedInfo
{
    FileIdentity identity;
    bool loaded = false;
    FailedWhile failed = FailedWhile::Nothing;
    std::string file_name;
    std::uint32_t entries = 0;
    std::map<std::int32_t, InfoAnswer> answers; // for a 255-byte buffer
};

constexpr std::uint32_t k_cache_magic = 0x4350535A; // "ZSPC"
constexpr std::uint32_t k_cache_version = 2;

class InfoCache
{
public:
    void SetFile(const std::string& path)
    {
        m_file = path;
        m_loaded_file = false;
        m_entries.clear();
    }

    const CachedInfo* Find(const std::string& path, const FileIdentity& identity)
    {
        LoadFile();
        auto it = m_entries.find(path);
        if (it == m_entries.end() || !(it->second.identity == identity))
            return nullptr;
        return &it->second;
    }

    void Store(const std::string& path, CachedInfo info)
    {
        LoadFile();
        m_entries[path] = std::move(info);
        SaveFile();
    }

private:
    void LoadFile();
    void SaveFile();

    std::string m_file;
    bool m_loaded_file = false;
    std::map<std::string, CachedInfo> m_entries;
};

InfoCache& info_cache()
{
    static InfoCache cache;
    return cache;
}

void InfoCache::LoadFile()
{
    if (m_loaded_file || m_file.empty())
        return;
    m_loaded_file = true;
    std::ifstream in(m_file, std::ios::binary);
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                    std::istreambuf_iterator<char>());
    try {
        Reader r(bytes);
        if (bytes.empty() || r.u32() != k_cache_magic || r.u32() != k_cache_version)
            return;
        for (std::uint32_t n = r.u32(); n > 0; --n) {
            std::string path = r.string();
            CachedInfo info;
            info.identity.size = r.i64();
            info.identity.mtime_ns = r.i64();
            info.loaded = r.boolean();
            const std::uint8_t failed = r.u8();
            if (failed > static_cast<std::uint8_t>(FailedWhile::Loading))
                throw ProtocolError("unknown kind of failure");
            info.failed = static_cast<FailedWhile>(failed);
            info.file_name = r.string();
            info.entries = r.u32();
            for (std::uint32_t a = r.u32(); a > 0; --a) {
                std::int32_t number = r.i32();
                InfoAnswer answer;
                answer.result = r.i32();
                answer.text = r.string();
                info.answers[number] = std::move(answer);
            }
            // What was learned in this run is newer than the file.
            m_entries.emplace(std::move(path), std::move(info));
        }
        r.finish();
    } catch (const ProtocolError&) {
        // A damaged cache is as good as none: the helpers are asked again.
    }
}

void InfoCache::SaveFile()
{
    if (m_file.empty())
        return;
    Writer w;
    w.u32(k_cache_magic);
    w.u32(k_cache_version);
    std::vector<const std::pair<const std::string, CachedInfo>*> kept;
    // Libraries that are gone or changed are forgotten.
    for (const auto& entry : m_entries)
        if (identity_of(entry.first) == entry.second.identity)
            kept.push_back(&entry);
    w.u32(static_cast<std::uint32_t>(kept.size()));
    for (const auto* entry : kept) {
        const CachedInfo& info = entry->second;
        w.string(entry->first);
        w.i64(info.identity.size);
        w.i64(info.identity.mtime_ns);
        w.u8(info.loaded ? 1 : 0);
        w.u8(static_cast<std::uint8_t>(info.failed));
        w.string(info.file_name);
        w.u32(info.entries);
        w.u32(static_cast<std::uint32_t>(info.answers.size()));
        for (const auto& [number, answer] : info.answers) {
            w.i32(number);
            w.i32(answer.result);
            w.string(answer.text);
        }
    }
    // Written beside and renamed over: a reader never sees half a file, and
    // two programs writing at once leave one whole file.
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(m_file).parent_path(), ignored);
    std::string temporary = m_file + ".tmp-" + std::to_string(::getpid());
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(w.data().data()),
                  static_cast<std::streamsize>(w.data().size()));
        if (!out.flush()) {
            out.close();
            std::remove(temporary.c_str());
            return;
        }
    }
    if (std::rename(temporary.c_str(), m_file.c_str()) != 0)
        std::remove(temporary.c_str());
}

// ---- served by a helper

// Holds a library busy while it talks to its helper. Whatever runs in the
// meantime (a progress handler, a window painting while it waits) and asks
// the same library finds it busy instead of cutting into the conversation.
class BusyScope
{
public:
    explicit BusyScope(bool& busy) : m_busy(busy) { m_busy = true; }
    ~BusyScope() { m_busy = false; }
    BusyScope(const BusyScope&) = delete;
    BusyScope& operator=(const BusyScope&) = delete;

private:
    bool& m_busy;
};

class HelperLibrary : public SPILibrary
{
public:
    HelperLibrary(std::string path, FileIdentity identity, CachedInfo info,
                  std::unique_ptr<SPIHelper> helper, bool from_cache, bool wine_names)
        : m_path(std::move(path)), m_identity(identity), m_info(std::move(info)),
          m_helper(std::move(helper)), m_from_cache(from_cache), m_wine_names(wine_names)
    {
    }

    const std::string& FileName() const override { return m_info.file_name; }
    std::uint32_t Entries() const override { return m_info.entries; }

    int GetPluginInfo(int number, char* buffer, int length) override;
    int IsSupported(const char* name, const void* head) override;
    int GetPictureInfo(const char* source, susie_intptr length, unsigned int flag,
                       SusiePictureInfo* info) override;
    int GetPicture(PictureEntry entry, const char* source, susie_intptr length, unsigned int flag,
                   susie_handle* info, susie_handle* bits, SusieProgressCallback callback,
                   susie_intptr data) override;
    void InformationRead() override;
    int FailedCalls() const override { return m_failed_calls; }

private:
    // The running helper, started when needed; null when none can run.
    SPIHelper* Helper();
    // Begins a conversation with the helper: busy holds the library until
    // it ends. Null when the library is in one already (busy stays empty)
    // or no helper runs.
    SPIHelper* Converse(std::optional<BusyScope>& busy);
    // A failed exchange: while the information is read, the library counts
    // as one that cannot be loaded.
    void Failed();
    // A file name as the running helper takes it.
    std::string NameForHelper(const std::string& name) const
    {
        return m_wine_names ? wine::NameForWine(name) : name;
    }
    SourceRef SourceForHelper(const char* source, susie_intptr length, unsigned int flag) const;

    std::string m_path;
    FileIdentity m_identity;
    CachedInfo m_info;
    std::unique_ptr<SPIHelper> m_helper;
    bool m_from_cache;
    bool m_wine_names;
    bool m_information_read = false;
    bool m_busy = false;
    // Helpers that failed, counted towards k_max_helper_failures.
    int m_failures = 0;
    // Calls that failed, for whatever reason.
    int m_failed_calls = 0;
};

SPIHelper* HelperLibrary::Helper()
{
    if (m_helper && m_helper->Alive())
        return m_helper.get();
    m_helper.reset();
    if (m_failures >= k_max_helper_failures)
        return nullptr;
    std::optional<HelperCommand> command = HelperCommandFor(m_path);
    if (!command)
        return nullptr;
    m_wine_names = command->wine_names;
    ++g_helpers_started;
    m_helper = SPIHelper::Start(*command, m_path, HelperTimeout());
    if (!m_helper) {
        ++m_failures;
        ++m_failed_calls;
    }
    return m_helper.get();
}

SPIHelper* HelperLibrary::Converse(std::optional<BusyScope>& busy)
{
    if (m_busy)
        return nullptr;
    busy.emplace(m_busy);
    return Helper();
}

void HelperLibrary::Failed()
{
    ++m_failed_calls;
    // Given up because the program stops: nothing to hold against the
    // plug-in, nothing to remember.
    const bool abandoned = m_helper && m_helper->Abandoned();
    if (abandoned) {
        if (!m_information_read)
            throw ESPIFOpenErrorSPI(m_path + ":Susie Pluginがロードできませんでした");
        return;
    }
    if (!m_information_read && m_helper) {
        // A plug-in that fails while it describes itself would cost every
        // start the same crash or timeout: the next starts skip this file.
        CachedInfo failed;
        failed.identity = m_identity;
        failed.failed = FailedWhile::ReadingInformation;
        info_cache().Store(m_path, std::move(failed));
    }
    if (++m_failures == k_max_helper_failures)
        std::fprintf(stderr,
                     "zumo: %s: the plug-in failed %d times; it is not used again until "
                     "zumo starts anew\n",
                     m_path.c_str(), k_max_helper_failures);
    if (!m_information_read)
        throw ESPIFOpenErrorSPI(m_path + ":Susie Pluginがロードできませんでした");
}

int HelperLibrary::GetPluginInfo(int number, char* buffer, int length)
{
    if (length == 255)
        if (auto it = m_info.answers.find(number); it != m_info.answers.end()) {
            std::size_t n = std::min<std::size_t>(it->second.text.size(), 255);
            std::memcpy(buffer, it->second.text.data(), n);
            buffer[n] = '\0';
            return it->second.result;
        }
    std::optional<BusyScope> busy;
    SPIHelper* helper = Converse(busy);
    if (!helper) {
        if (busy)
            Failed();
        return 0;
    }
    std::vector<std::uint8_t> request = encode(InfoRequest{number, length});
    std::optional<Frame> frame = helper->Exchange(
        [&](Channel& c) { return write_frame(c, MessageType::GetPluginInfo, request); },
        MessageType::InfoReply);
    InfoReply reply;
    try {
        if (!frame) {
            Failed();
            return 0;
        }
        reply = decode_info_reply(frame->payload);
    } catch (const ProtocolError& e) {
        helper->Fail(e.what());
        Failed();
        return 0;
    }
    if (length > 0 && buffer) {
        std::size_t n = std::min<std::size_t>(reply.text.size(), static_cast<std::size_t>(length));
        std::memcpy(buffer, reply.text.data(), n);
        if (n < static_cast<std::size_t>(length))
            buffer[n] = '\0';
    }
    if (length == 255)
        m_info.answers[number] = InfoAnswer{reply.result, reply.text};
    return reply.result;
}

void HelperLibrary::InformationRead()
{
    m_information_read = true;
    if (!m_from_cache) {
        m_info.identity = m_identity;
        info_cache().Store(m_path, m_info);
    }
    // Only a library that is used needs its helper.
    m_helper.reset();
}

int HelperLibrary::IsSupported(const char* name, const void* head)
{
    std::optional<BusyScope> busy;
    SPIHelper* helper = Converse(busy);
    if (!helper)
        return 0;
    SupportRequest request{NameForHelper(name ? name : ""),
                           {static_cast<const std::uint8_t*>(head), k_head_size}};
    std::vector<std::uint8_t> payload = encode(request);
    std::optional<Frame> frame = helper->Exchange(
        [&](Channel& c) { return write_frame(c, MessageType::IsSupported, payload); },
        MessageType::SupportReply);
    try {
        if (frame)
            return decode_i32(frame->payload);
    } catch (const ProtocolError& e) {
        helper->Fail(e.what());
    }
    Failed();
    return 0;
}

SourceRef source_ref(const char* source, susie_intptr length, unsigned int flag)
{
    SourceRef ref;
    ref.flag = flag;
    if (ref.is_memory())
        ref.data = {reinterpret_cast<const std::uint8_t*>(source),
                    static_cast<std::size_t>(std::max<susie_intptr>(length, 0))};
    else {
        ref.path = source ? source : "";
        ref.offset = length;
    }
    return ref;
}

SourceRef HelperLibrary::SourceForHelper(const char* source, susie_intptr length,
                                         unsigned int flag) const
{
    SourceRef ref = source_ref(source, length, flag);
    if (!ref.is_memory())
        ref.path = NameForHelper(ref.path);
    return ref;
}

int HelperLibrary::GetPictureInfo(const char* source, susie_intptr length, unsigned int flag,
                                  SusiePictureInfo* info)
{
    std::optional<BusyScope> busy;
    SPIHelper* helper = Converse(busy);
    if (!helper)
        return SUSIE_INTERNAL_ERROR;
    SourceRef ref = SourceForHelper(source, length, flag);
    std::optional<Frame> frame = helper->Exchange(
        [&](Channel& c) { return write_source_request(c, ref); }, MessageType::PictureInfoReply);
    try {
        if (frame) {
            PictureInfoReply reply = decode_picture_info_reply(frame->payload);
            if (reply.result == 0 && info) {
                info->left = reply.left;
                info->top = reply.top;
                info->width = reply.width;
                info->height = reply.height;
                info->x_density = reply.x_density;
                info->y_density = reply.y_density;
                info->colorDepth = reply.color_depth;
                info->hInfo = nullptr;
                if (reply.has_text) {
                    platform::LocalHandle text = platform::local_alloc(reply.text.size());
                    if (text && !reply.text.empty())
                        std::memcpy(platform::local_lock(text), reply.text.data(),
                                    reply.text.size());
                    info->hInfo = text;
                }
            }
            return reply.result;
        }
    } catch (const ProtocolError& e) {
        helper->Fail(e.what());
    }
    Failed();
    return SUSIE_INTERNAL_ERROR;
}

// The rest of a PictureReply whose blocks the helper handed over in shared
// memory (left bytes: their two sizes), the blocks copied from there into
// local-memory handles. False when the helper failed (it is stopped then).
bool read_shared_blocks(SPIHelper& helper, std::uint32_t left, platform::LocalHandle (&blocks)[2])
{
    std::uint8_t sizes[8];
    if (left != sizeof sizes) {
        helper.Fail("picture answer of the wrong length");
        return false;
    }
    if (!helper.ReadPayload(sizes, sizeof sizes))
        return false;
    Reader r({sizes, sizeof sizes});
    const std::uint32_t size[2] = {r.u32(), r.u32()};
    const std::uint64_t total = std::uint64_t{size[0]} + size[1];
    if (total > k_max_payload) {
        helper.Fail("message too large");
        return false;
    }
    std::optional<SharedBlocks> shared = helper.TakeSharedBlocks(total);
    if (!shared)
        return false;
    std::uint64_t at = 0;
    for (int i = 0; i < 2; ++i) {
        blocks[i] = platform::local_alloc(size[i]);
        if (!blocks[i]) {
            helper.Fail("out of memory for the picture");
            return false;
        }
        if (!shared->read(at,
                          {static_cast<std::uint8_t*>(platform::local_lock(blocks[i])), size[i]})) {
            helper.Fail("picture memory unreadable");
            return false;
        }
        at += size[i];
    }
    return true;
}

// Reads a PictureReply payload of length bytes (see spi_protocol.h: result,
// flag, then the two blocks, each a u32 length and its bytes, or their
// sizes when they are in shared memory) with the blocks going straight from
// the pipe into local-memory handles of this process, as an in-process
// plug-in would have handed them over. False when the helper failed or the
// answer is malformed (the helper is stopped then).
bool read_picture_reply(SPIHelper& helper, std::uint32_t length, int& result, susie_handle* info,
                        susie_handle* bits)
{
    std::uint8_t prefix[5];
    if (length < sizeof prefix + 8) {
        helper.Fail("picture answer too short");
        return false;
    }
    if (!helper.ReadPayload(prefix, sizeof prefix))
        return false;
    Reader head({prefix, sizeof prefix});
    result = head.i32();
    const std::uint8_t has_blocks = head.u8();
    std::uint32_t left = length - static_cast<std::uint32_t>(sizeof prefix);
    platform::LocalHandle blocks[2] = {nullptr, nullptr};
    auto fail = [&](const char* why) {
        platform::local_free(blocks[0]);
        platform::local_free(blocks[1]);
        if (why)
            helper.Fail(why);
        return false;
    };
    if (has_blocks > static_cast<std::uint8_t>(BlockPlace::Shared) || (has_blocks && result != 0))
        return fail("picture blocks with a failed result");
    if (has_blocks == static_cast<std::uint8_t>(BlockPlace::Shared)) {
        if (!read_shared_blocks(helper, left, blocks))
            return fail(nullptr);
        left = 0;
    } else
        for (platform::LocalHandle& block : blocks) {
            std::uint8_t size_bytes[4];
            if (left < 4 || !helper.ReadPayload(size_bytes, 4))
                return fail(left < 4 ? "picture answer too short" : nullptr);
            left -= 4;
            const std::uint32_t size = Reader({size_bytes, 4}).u32();
            if (size > left || (!has_blocks && size != 0))
                return fail("picture block larger than its answer");
            left -= size;
            if (!has_blocks)
                continue;
            block = platform::local_alloc(size);
            if (!block) {
                helper.Fail("out of memory for the picture");
                return fail(nullptr);
            }
            if (!helper.ReadPayload(platform::local_lock(block), size))
                return fail(nullptr);
        }
    if (left != 0)
        return fail("bytes left over after the picture");
    if (has_blocks) {
        *info = blocks[0];
        *bits = blocks[1];
    }
    return true;
}

int HelperLibrary::GetPicture(PictureEntry entry, const char* source, susie_intptr length,
                              unsigned int flag, susie_handle* info, susie_handle* bits,
                              SusieProgressCallback callback, susie_intptr data)
{
    // A progress handler that loads another picture through this plug-in
    // while it decodes finds it busy: that load fails as a plug-in error.
    std::optional<BusyScope> busy;
    SPIHelper* helper = Converse(busy);
    if (!helper)
        return SUSIE_INTERNAL_ERROR;
    PictureRequest request{entry, SourceForHelper(source, length, flag)};
    std::optional<std::uint32_t> reply_length = helper->ExchangeHeader(
        [&](Channel& c) { return write_picture_request(c, request); }, MessageType::PictureReply,
        [&](int done, int total) { return callback ? callback(done, total, data) : 0; });
    int result = 0;
    const bool read =
        reply_length && read_picture_reply(*helper, *reply_length, result, info, bits);
    helper->EndRequest();
    if (read)
        return result;
    Failed();
    return SUSIE_INTERNAL_ERROR;
}

std::unique_ptr<SPILibrary> open_in_process(const std::string& path)
{
    platform::LibraryHandle handle = platform::load_library(path);
    if (!handle)
        return nullptr;
    return std::make_unique<InProcessLibrary>(handle);
}

std::unique_ptr<SPILibrary> open_through_helper(const std::string& path)
{
    std::optional<FileIdentity> identity = identity_of(path);
    if (!identity)
        return nullptr;
    if (const CachedInfo* cached = info_cache().Find(path, *identity)) {
        if (cached->failed != FailedWhile::Nothing)
            SayOnce("zumo: " + path + ": skipped: the plug-in failed while " +
                    (cached->failed == FailedWhile::Loading ? "its library was loaded"
                                                            : "its information was read") +
                    " in an earlier run (it is tried again once the file changes)");
        if (!cached->loaded)
            return nullptr;
        // What was known then says nothing of whether its helper can still
        // run here (Wine may have been removed since).
        if (std::string why = HelperUnavailableReason(path); !why.empty()) {
            SayOnce(why);
            return nullptr;
        }
        return std::make_unique<HelperLibrary>(path, *identity, *cached, nullptr, true, false);
    }
    std::optional<HelperCommand> command = HelperCommandFor(path);
    if (!command)
        return open_in_process(path); // no helper serves it (or none is installed)
    ++g_helpers_started;
    HelperStartFailure failure{};
    std::unique_ptr<SPIHelper> helper = SPIHelper::Start(*command, path, HelperTimeout(), &failure);
    if (!helper) {
        // A library that crashes or hangs as it is loaded (a constructor,
        // DllMain) would cost every start the same: the next starts skip it.
        if (failure == HelperStartFailure::WhileLoading) {
            CachedInfo failed;
            failed.identity = *identity;
            failed.failed = FailedWhile::Loading;
            info_cache().Store(path, std::move(failed));
        }
        return nullptr;
    }
    CachedInfo info;
    info.identity = *identity;
    info.loaded = helper->Ready().loaded;
    // A Windows helper names the library by what it was handed, which is a
    // link for a path that is not UTF-8.
    info.file_name = command->wine_names ? path : helper->Ready().file_name;
    info.entries = helper->Ready().entries;
    if (!info.loaded) {
        info_cache().Store(path, std::move(info));
        return nullptr;
    }
    return std::make_unique<HelperLibrary>(path, *identity, std::move(info), std::move(helper),
                                           false, command->wine_names);
}

} // namespace

void SetSPIHosting(SPIHosting hosting)
{
    g_hosting = hosting;
}

SPIHosting CurrentSPIHosting()
{
    if (g_hosting)
        return *g_hosting;
    const char* text = std::getenv("ZUMO_SPI_HOSTING");
    return text && std::string(text) == "helper" ? SPIHosting::Helper : SPIHosting::InProcess;
}

void SetSPIInfoCacheFile(const std::string& path)
{
    info_cache().SetFile(path);
}

std::string DefaultSPIInfoCacheFile()
{
    const char* cache = std::getenv("XDG_CACHE_HOME");
    if (cache && *cache == '/')
        return std::string(cache) + "/zumo/spi-info.cache";
    const char* home = std::getenv("HOME");
    if (home && *home == '/')
        return std::string(home) + "/.cache/zumo/spi-info.cache";
    return {};
}

int HelpersStarted()
{
    return g_helpers_started;
}

std::unique_ptr<SPILibrary> OpenSPILibrary(const std::string& path)
{
    // A Windows library never loads into this process: Wine serves it.
    if (CurrentSPIHosting() == SPIHosting::Helper ||
        wine::ClassifyFile(path) != wine::WindowsLibrary::None)
        return open_through_helper(path);
    return open_in_process(path);
}

} // namespace zumo
