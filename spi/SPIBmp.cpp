#include "spi/SPIBmp.h"

#include "graphics/picture.h"
#include "imagelib/bmp_reader.h"
#include "imagelib/picture_limits.h"
#include "platform/file_ops.h"
#include "platform/path.h"
#include "spi/host/dib_blocks.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>
#include <utility>

namespace zumo {
namespace {

using spihost::dib_layout;
using spihost::DibLayout;
using spihost::layout_is_sane;

const char* const k_could_not_decode = "Susie Plugins could not decode";
constexpr std::int64_t k_info_header = spihost::k_dib_info_header;

std::uint32_t read_u32(const std::uint8_t* p)
{
    std::uint32_t value;
    std::memcpy(&value, p, 4);
    return value;
}

void put_u32(std::uint8_t* p, std::uint32_t value)
{
    std::memcpy(p, &value, 4);
}

std::string upper_ascii(std::string text)
{
    for (char& c : text)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return text;
}

} // namespace

std::int32_t MulDiv(std::int32_t a, std::int32_t b, std::int32_t c)
{
    if (c == 0)
        return -1;
    std::int64_t product = static_cast<std::int64_t>(a) * b;
    bool negative = (product < 0) != (c < 0);
    std::uint64_t n =
        product < 0 ? static_cast<std::uint64_t>(-product) : static_cast<std::uint64_t>(product);
    std::uint64_t d = c < 0 ? static_cast<std::uint64_t>(-static_cast<std::int64_t>(c))
                            : static_cast<std::uint64_t>(c);
    std::uint64_t q = (n + d / 2) / d;
    std::int64_t result = negative ? -static_cast<std::int64_t>(q) : static_cast<std::int64_t>(q);
    if (result > std::numeric_limits<std::int32_t>::max() ||
        result < std::numeric_limits<std::int32_t>::min())
        return -1;
    return static_cast<std::int32_t>(result);
}

int SUSIE_API SPIProgressCallback(int done, int total, susie_intptr data)
{
    auto* self = reinterpret_cast<TInSPIAbleData*>(data);
    if (!self || !self->OnProgress)
        return 0;
    if (self->m_pending)
        return 1; // still asking a plug-in that went on to stop
    // 0 % .. 100 % of the plug-in map to 2 .. 99; a zero total gives 1.
    // Plug-ins reporting done beyond total are held to the 0..100 range;
    // the sum is 64-bit, as MulDiv may give nearly 2^31 for such a report.
    const std::int64_t percent =
        std::clamp<std::int64_t>(std::int64_t{MulDiv(done, 97, total)} + 2, 0, 100);
    try {
        self->Report(TProgressStage::psRunning, static_cast<std::uint8_t>(percent), std::string());
    } catch (const EAbort&) {
        return 1;
    } catch (...) {
        // Exceptions never cross the plug-in's frames: keep it for the load.
        self->m_pending = std::current_exception();
        return 1;
    }
    return 0;
}

// ---- TInSPIAbleData

TInSPIAbleData::TInSPIAbleData(TSPIGraphic* owner, std::string file_name)
    : m_file_name(std::move(file_name)), m_owner(owner)
{
}

TInSPIAbleData::~TInSPIAbleData()
{
    FreeHandles();
}

void TInSPIAbleData::Report(TProgressStage stage, std::uint8_t percent, const std::string& msg)
{
    if (OnProgress)
        OnProgress(m_owner, stage, percent, stage == TProgressStage::psEnding, TRect{}, msg);
}

void TInSPIAbleData::Load()
{
    TSPIs* spis = SPIsInstance();
    bool macbinary = spis && spis->MacBinary;
    try {
        Report(TProgressStage::psStarting, 0, "Loading Graphic by Susie Plugin");
        FreeHandles();
        Report(TProgressStage::psRunning, 1, "Seeking enabled Susie Plugins");
        std::vector<TSPI*> candidates;
        if (spis)
            spis->FindSPIs({SPIClassOf<TInSPI>()}, m_file_name, candidates);
        // Read once, shared by every candidate and offset.
        std::array<std::uint8_t, k_spi_head_size> head{};
        ReadHead(head.data(), head.size());
        bool decoded = false;
        for (TSPI* spi : candidates) {
            // A plug-in that crashed or hung on this picture is not asked
            // about it again (at the other offset): once costs enough.
            const int failed_before = spi->FailedCalls();
            for (int offset : {0, k_macbinary_offset}) {
                if ((offset != 0 && !macbinary) || spi->FailedCalls() != failed_before)
                    break;
                Report(TProgressStage::psRunning, 1,
                       "Loading by [" + platform::file_name_part(spi->FileName()) + "]");
                TryPlugin(static_cast<TInSPI&>(*spi), head.data(), offset);
                if (!IsEmpty()) {
                    decoded = true;
                    break;
                }
                FreeHandles();
            }
            if (decoded)
                break;
        }
    } catch (...) {
        Report(TProgressStage::psEnding, 100, "Loaded Graphic by Susie Plugin");
        throw;
    }
    Report(TProgressStage::psEnding, 100, "Loaded Graphic by Susie Plugin");
}

void TInSPIAbleData::TryPlugin(TInSPI& spi, const std::uint8_t* head, int offset)
{
    const int failed_before = spi.FailedCalls();
    if (spi.IsSupported(m_file_name.c_str(), head + offset) == 0)
        return;
    QueryInfo(spi, offset);
    if (spi.FailedCalls() != failed_before)
        return;
    TSPIs* spis = SPIsInstance();
    if (spis && spis->GraphicPreview) {
        DecodePreview(spi, offset);
        if (IsEmpty() && spi.FailedCalls() == failed_before)
            DecodePicture(spi, offset);
    } else {
        DecodePicture(spi, offset);
    }
}

void TInSPIAbleData::CallGetPictureInfo(TInSPI& spi, const char* source, susie_intptr length,
                                        unsigned int flag)
{
    release_text_info();
    m_picture_info = SusiePictureInfo{};
    int result = spi.GetPictureInfo(source, length, flag, &m_picture_info);
    m_info_valid = result == 0;
    // After a failure the record may hold anything; its handle is not ours.
    if (!m_info_valid)
        m_picture_info.hInfo = nullptr;
}

void TInSPIAbleData::CallDecode(TInSPI& spi, Entry entry, const char* source, susie_intptr length,
                                unsigned int flag)
{
    susie_handle info = nullptr;
    susie_handle bits = nullptr;
    m_pending = nullptr;
    int result;
    const susie_intptr data = reinterpret_cast<susie_intptr>(this);
    if (entry == Entry::Preview) {
        try {
            result = spi.GetPreview(source, length, flag, &info, &bits, SPIProgressCallback, data);
        } catch (const ESPIInvalidAPI&) {
            m_info_handle = m_bits_handle = nullptr;
            return;
        }
    } else {
        result = spi.GetPicture(source, length, flag, &info, &bits, SPIProgressCallback, data);
    }
    std::exception_ptr pending = std::exchange(m_pending, nullptr);
    if (result != 0)
        info = bits = nullptr;
    m_info_handle = info;
    m_bits_handle = bits;
    if (pending) {
        FreeHandles();
        std::rethrow_exception(pending);
    }
    if (result == 0 && !AcceptHandles()) {
        platform::local_free(std::exchange(m_info_handle, nullptr));
        platform::local_free(std::exchange(m_bits_handle, nullptr));
    }
}

bool TInSPIAbleData::AcceptHandles()
{
    if (!m_info_handle || !m_bits_handle)
        return false;
    std::size_t info_size = platform::local_size(m_info_handle);
    std::size_t bits_size = platform::local_size(m_bits_handle);
    if (info_size < static_cast<std::size_t>(k_info_header))
        return false;
    auto* info = static_cast<std::uint8_t*>(platform::local_lock(m_info_handle));
    DibLayout d = dib_layout(info);
    bool sane = layout_is_sane(d, info_size, bits_size);
    if (!sane || d.stored_header == k_info_header) {
        platform::local_unlock(m_info_handle);
        return sane;
    }
    // A larger header is brought to the 40 bytes the rest of the host works
    // with, so that the BMP written from it says what it holds. The masks
    // of a V2 to V5 header sit where BI_BITFIELDS masks follow a 40-byte one.
    platform::LocalHandle normal = platform::local_alloc(static_cast<std::size_t>(d.header_size));
    if (!normal) {
        platform::local_unlock(m_info_handle);
        return false;
    }
    auto* out = static_cast<std::uint8_t*>(platform::local_lock(normal));
    std::memcpy(out, info, static_cast<std::size_t>(k_info_header + d.mask_bytes));
    put_u32(out, static_cast<std::uint32_t>(k_info_header));
    std::memcpy(out + k_info_header + d.mask_bytes, info + d.table_offset,
                static_cast<std::size_t>(4 * d.color_count));
    platform::local_unlock(normal);
    platform::local_unlock(m_info_handle);
    platform::local_free(m_info_handle);
    m_info_handle = normal;
    return true;
}

const std::uint8_t* TInSPIAbleData::BitmapInfo()
{
    if (!m_info && m_info_handle)
        m_info = static_cast<std::uint8_t*>(platform::local_lock(m_info_handle));
    return m_info;
}

const std::uint8_t* TInSPIAbleData::Bits()
{
    if (!m_bits && m_bits_handle)
        m_bits = static_cast<std::uint8_t*>(platform::local_lock(m_bits_handle));
    return m_bits;
}

void TInSPIAbleData::FreeHandles()
{
    if (m_info) {
        platform::local_unlock(m_info_handle);
        m_info = nullptr;
    }
    if (m_bits) {
        platform::local_unlock(m_bits_handle);
        m_bits = nullptr;
    }
    platform::local_free(std::exchange(m_info_handle, nullptr));
    platform::local_free(std::exchange(m_bits_handle, nullptr));
    release_text_info();
}

void TInSPIAbleData::release_text_info()
{
    // The record is packed: its handle is copied out, never bound by
    // reference.
    susie_handle text = m_picture_info.hInfo;
    m_picture_info.hInfo = nullptr;
    platform::local_free(text);
}

// ---- sources

TInSPIAbleFromFile::TInSPIAbleFromFile(TSPIGraphic* owner, const std::string& path)
    : TInSPIAbleData(owner, path)
{
}

void TInSPIAbleFromFile::ReadHead(std::uint8_t* buffer, std::size_t count)
{
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(
        platform::open_file_for_reading(FileName()), std::fclose);
    if (!file)
        return;
    std::vector<std::uint8_t> head(count);
    std::size_t read = std::fread(head.data(), 1, count, file.get());
    if (std::ferror(file.get()))
        return;
    std::memcpy(buffer, head.data(), read);
}

void TInSPIAbleFromFile::QueryInfo(TInSPI& spi, int offset)
{
    CallGetPictureInfo(spi, FileName().c_str(), offset, SUSIE_SOURCE_FILE);
}

void TInSPIAbleFromFile::DecodePreview(TInSPI& spi, int offset)
{
    CallDecode(spi, Entry::Preview, FileName().c_str(), offset, SUSIE_SOURCE_FILE);
}

void TInSPIAbleFromFile::DecodePicture(TInSPI& spi, int offset)
{
    CallDecode(spi, Entry::Picture, FileName().c_str(), offset, SUSIE_SOURCE_FILE);
}

TInSPIAbleFromStream::TInSPIAbleFromStream(TSPIGraphic* owner, TStream& stream,
                                           const std::string& name)
    : TInSPIAbleData(owner, name)
{
    if (auto* memory = dynamic_cast<TMemoryStream*>(&stream)) {
        m_memory = memory->Memory();
        m_size = memory->Size();
        return;
    }
    m_owned_copy = std::make_unique<TMemoryStream>();
    stream.SetPosition(0);
    m_owned_copy->LoadFromStream(stream);
    m_memory = m_owned_copy->Memory();
    m_size = m_owned_copy->Size();
}

void TInSPIAbleFromStream::ReadHead(std::uint8_t* buffer, std::size_t count)
{
    std::size_t n = std::min<std::size_t>(count, static_cast<std::size_t>(m_size));
    if (n > 0)
        std::memcpy(buffer, m_memory, n);
}

void TInSPIAbleFromStream::QueryInfo(TInSPI& spi, int offset)
{
    // Data shorter than the offset give the plug-in nothing to read.
    if (offset > m_size)
        return;
    CallGetPictureInfo(spi, reinterpret_cast<const char*>(m_memory + offset), m_size - offset,
                       SUSIE_SOURCE_MEMORY);
}

void TInSPIAbleFromStream::DecodePreview(TInSPI& spi, int offset)
{
    if (offset > m_size)
        return;
    CallDecode(spi, Entry::Preview, reinterpret_cast<const char*>(m_memory + offset),
               m_size - offset, SUSIE_SOURCE_MEMORY);
}

void TInSPIAbleFromStream::DecodePicture(TInSPI& spi, int offset)
{
    if (offset > m_size)
        return;
    CallDecode(spi, Entry::Picture, reinterpret_cast<const char*>(m_memory + offset),
               m_size - offset, SUSIE_SOURCE_MEMORY);
}

// ---- TSPIGraphic

TSPIGraphic::~TSPIGraphic()
{
    FreeImage();
}

bool TSPIGraphic::Empty() const
{
    return !m_data || m_data->IsEmpty();
}

void TSPIGraphic::UpdateInfo() const
{
    if (m_info_ready)
        return;
    m_palette.clear();
    if (Empty()) {
        m_height = m_width = m_header_size = m_image_size = m_color_count = 0;
        m_is_4bit = false;
        m_info_ready = true;
        return;
    }
    const std::uint8_t* info = m_data->BitmapInfo();
    DibLayout d = dib_layout(info);
    // The load accepted only layouts that fit the blocks and 32 bits.
    m_width = d.width;
    m_height = d.height;
    m_color_count = static_cast<std::int32_t>(d.color_count);
    m_image_size = static_cast<std::int32_t>(d.image_size);
    m_header_size = static_cast<std::int32_t>(d.header_size);
    m_is_4bit = d.bit_count == 4;
    const std::uint8_t* table = info + 40 + d.mask_bytes;
    for (std::int32_t i = 0; i < m_color_count; ++i)
        m_palette.push_back(read_u32(table + 4 * i) & 0xFFFFFF);
    m_info_ready = true;
}

std::int32_t TSPIGraphic::Height() const
{
    UpdateInfo();
    return m_height;
}

std::int32_t TSPIGraphic::Width() const
{
    UpdateInfo();
    return m_width;
}

const TPalette* TSPIGraphic::Palette() const
{
    UpdateInfo();
    return m_palette.empty() ? nullptr : &m_palette;
}

bool TSPIGraphic::Is4Bit() const
{
    UpdateInfo();
    return m_is_4bit;
}

std::int32_t TSPIGraphic::HeaderSize() const
{
    UpdateInfo();
    return m_header_size;
}

std::int32_t TSPIGraphic::ImageSize() const
{
    UpdateInfo();
    return m_image_size;
}

std::int32_t TSPIGraphic::ColorCount() const
{
    UpdateInfo();
    return m_color_count;
}

void TSPIGraphic::Decode(std::unique_ptr<TInSPIAbleData> data)
{
    m_data = std::move(data);
    try {
        m_data->OnProgress = OnProgress;
        m_data->Load();
        if (m_data->IsEmpty())
            throw EInvalidGraphic(k_could_not_decode);
    } catch (...) {
        FreeImage();
        throw;
    }
    Changed();
}

void TSPIGraphic::LoadFromFile(const std::string& path)
{
    FreeImage();
    Decode(std::make_unique<TInSPIAbleFromFile>(this, path));
}

void TSPIGraphic::LoadFromStream(TStream& stream)
{
    LoadFromStreamWithName(stream, std::string());
}

void TSPIGraphic::LoadFromStreamWithName(TStream& stream, const std::string& name)
{
    FreeImage();
    Decode(std::make_unique<TInSPIAbleFromStream>(this, stream, name));
}

void TSPIGraphic::SaveToStream(TStream& stream)
{
    UpdateInfo();
    std::uint8_t file_header[14] = {'B', 'M'};
    put_u32(file_header + 2, static_cast<std::uint32_t>(14 + m_header_size + m_image_size));
    put_u32(file_header + 10, static_cast<std::uint32_t>(14 + m_header_size));
    stream.WriteBuffer(file_header, sizeof file_header);
    if (Empty())
        return;
    stream.WriteBuffer(m_data->BitmapInfo(), static_cast<std::size_t>(m_header_size));
    stream.WriteBuffer(m_data->Bits(), static_cast<std::size_t>(m_image_size));
}

TPixelImage TSPIGraphic::ToPixels() const
{
    if (Empty())
        return {};
    UpdateInfo();
    try {
        imgctl::DecodedBmp dib =
            imgctl::read_dib({m_data->BitmapInfo(), static_cast<std::size_t>(m_header_size)},
                             {m_data->Bits(), static_cast<std::size_t>(m_image_size)});
        return TPixelImage{dib.width, dib.height, std::move(dib.bgra), dib.has_alpha};
    } catch (const imgctl::ImageError& e) {
        throw EInvalidGraphic(e.what());
    }
}

void TSPIGraphic::FreeImage()
{
    m_data.reset();
    m_palette.clear();
    m_info_ready = false;
}

std::unique_ptr<TBitmap> GraphicToBitmap(TGraphic& graphic, ReleaseSource release)
{
    auto bitmap = std::make_unique<TBitmap>();
    TMemoryStream stream;
    graphic.SaveToStream(stream);
    if (release == ReleaseSource::Data)
        if (auto* spi = dynamic_cast<TSPIGraphic*>(&graphic))
            spi->FreeImage();
    stream.SetPosition(0);
    bitmap->LoadFromStream(stream);
    return bitmap;
}

// ---- TSPIBitmap

void TSPIBitmap::Assign(const TGraphic& source)
{
    auto* spi = dynamic_cast<const TSPIGraphic*>(&source);
    if (!spi) {
        TBitmap::Assign(source);
        return;
    }
    // Writing its BMP file leaves the graphic as it was.
    std::unique_ptr<TBitmap> bitmap =
        GraphicToBitmap(const_cast<TSPIGraphic&>(*spi), ReleaseSource::Keep);
    TBitmap::Assign(*bitmap);
    if (spi->Is4Bit() && spi->Palette())
        SetPalette(*spi->Palette());
}

void TSPIBitmap::AssignLoadedGraphic(std::unique_ptr<TGraphic> graphic)
{
    if (!graphic)
        throw EInvalidGraphic(k_could_not_decode);
    auto* spi = dynamic_cast<TSPIGraphic*>(graphic.get());
    if (!spi) {
        TBitmap::Assign(*graphic);
        return;
    }
    std::optional<TPalette> palette;
    if (spi->Is4Bit() && spi->Palette())
        palette = *spi->Palette();
    std::unique_ptr<TBitmap> bitmap = GraphicToBitmap(*spi, ReleaseSource::Data);
    TBitmap::Assign(*bitmap);
    if (palette)
        SetPalette(*palette);
}

void TSPIBitmap::ForwardProgress(TProgressStage stage, std::uint8_t percent_done, bool redraw_now,
                                 const TRect& r, const std::string& msg)
{
    // The bitmap ends with its own "Loaded Graphic".
    if (stage != TProgressStage::psEnding)
        Progress(this, stage, percent_done, redraw_now, r, msg);
}

void TSPIBitmap::LoadWith(const std::string& name, const std::function<void(TGraphic&)>& load,
                          const std::function<void()>& after_failure)
{
    bool bitmap_first = upper_ascii(platform::extension_part(name)) == ".BMP";
    try {
        std::unique_ptr<TGraphic> result;
        for (int attempt = 0; attempt < 2 && !result; ++attempt) {
            bool plain = (attempt == 0) == bitmap_first;
            std::unique_ptr<TGraphic> graphic;
            if (plain)
                graphic = std::make_unique<TBitmap>();
            else
                graphic = std::make_unique<TSPIGraphic>();
            graphic->OnProgress = [this](TGraphic*, TProgressStage stage, std::uint8_t percent,
                                         bool redraw, const TRect& r, const std::string& msg) {
                ForwardProgress(stage, percent, redraw, r, msg);
            };
            try {
                load(*graphic);
                result = std::move(graphic);
            } catch (...) {
                // This class could not read it; the other one may.
                if (after_failure)
                    after_failure();
            }
        }
        AssignLoadedGraphic(std::move(result));
    } catch (...) {
        Progress(this, TProgressStage::psEnding, 100, true, TRect{0, 0, Width(), Height()},
                 "Loaded Graphic");
        throw;
    }
    Progress(this, TProgressStage::psEnding, 100, true, TRect{0, 0, Width(), Height()},
             "Loaded Graphic");
}

void TSPIBitmap::LoadFromFile(const std::string& path)
{
    LoadWith(
        path, [&](TGraphic& graphic) { graphic.LoadFromFile(path); }, nullptr);
}

void TSPIBitmap::LoadFromStream(TStream& stream)
{
    LoadFromStreamWithName(stream, std::string());
}

void TSPIBitmap::LoadFromStreamWithName(TStream& stream, const std::string& name)
{
    std::int64_t start = stream.Position();
    LoadWith(
        name,
        [&](TGraphic& graphic) {
            if (auto* spi = dynamic_cast<TSPIGraphic*>(&graphic))
                spi->LoadFromStreamWithName(stream, name);
            else
                graphic.LoadFromStream(stream);
        },
        [&] { stream.SetPosition(start); });
}

TSPIBitmap::TSPILoadFromStreamWithNameEvent TSPIBitmap::OnLoadFromStreamWithName()
{
    return
        [this](TStream& stream, const std::string& name) { LoadFromStreamWithName(stream, name); };
}

// ---- unit start-up and end

namespace {

struct SPIBmpUnit
{
    SPIBmpUnit() { TSPIs::SetGraphicClass(GraphicClassOf<TSPIBitmap>()); }
    ~SPIBmpUnit() { TPicture::UnregisterGraphicClass(GraphicClassOf<TSPIBitmap>()); }
};
const SPIBmpUnit g_unit;

} // namespace

bool SPIBmpUnitLinked()
{
    return true;
}

} // namespace zumo
