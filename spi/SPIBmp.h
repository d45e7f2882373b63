// Pictures decoded by Susie import plug-ins.
//
// TInSPIAbleData holds a picture source (a file, or memory), asks the
// import plug-ins of the collection in turn and owns the handles the one
// that decodes returns. TSPIGraphic is a graphic holding such a decoded
// device-independent bitmap; TSPIBitmap is the class registered for the
// plug-ins' extensions: it loads through TSPIGraphic (or as a plain BMP)
// and then holds an ordinary bitmap.
//
// Everything a plug-in hands back is untrusted: a BITMAPINFO or pixel block
// smaller than its header claims counts as no result. When no plug-in
// decodes the source, EInvalidGraphic "Susie Plugins could not decode".
#pragma once

#include "graphics/bitmap.h"
#include "platform/local_mem.h"
#include "spi/SPIs.h"

#include <exception>
#include <memory>
#include <string>

namespace zumo {

class TSPIGraphic;

// Head bytes read once per load: 2,048 for IsSupported plus the 128 of a
// MacBinary header.
constexpr std::size_t k_spi_head_size = 2048 + 128;
constexpr int k_macbinary_offset = 128;

class TInSPIAbleData
{
public:
    TInSPIAbleData(TSPIGraphic* owner, std::string file_name);
    TInSPIAbleData(const TInSPIAbleData&) = delete;
    TInSPIAbleData& operator=(const TInSPIAbleData&) = delete;
    // Releases the handles.
    virtual ~TInSPIAbleData();

    // Asks the candidate plug-ins until one decodes. Rethrows an exception
    // (other than EAbort) that a progress handler raised, after the plug-in
    // has returned.
    void Load();
    bool IsEmpty() const { return !m_info_handle || !m_bits_handle; }
    // The locked blocks (locked on first use); null when empty.
    const std::uint8_t* BitmapInfo();
    const std::uint8_t* Bits();
    void FreeHandles();

    const std::string& FileName() const { return m_file_name; }
    const SusiePictureInfo& PictureInfo() const { return m_picture_info; }
    bool InfoValid() const { return m_info_valid; }
    platform::LocalHandle InfoHandle() const { return m_info_handle; }
    platform::LocalHandle BitsHandle() const { return m_bits_handle; }

    TProgressEvent OnProgress;

protected:
    enum class Entry { Picture, Preview };

    virtual void ReadHead(std::uint8_t* buffer, std::size_t count) = 0;
    virtual void QueryInfo(TInSPI& spi, int offset) = 0;
    virtual void DecodePreview(TInSPI& spi, int offset) = 0;
    virtual void DecodePicture(TInSPI& spi, int offset) = 0;

    // The shared part of the sources' operations.
    void CallGetPictureInfo(TInSPI& spi, const char* source, susie_intptr length,
                            unsigned int flag);
    void CallDecode(TInSPI& spi, Entry entry, const char* source, susie_intptr length,
                    unsigned int flag);

private:
    friend int SUSIE_API SPIProgressCallback(int done, int total, susie_intptr data);

    void TryPlugin(TInSPI& spi, const std::uint8_t* head, int offset);
    void Report(TProgressStage stage, std::uint8_t percent, const std::string& msg);
    // Keeps the handles when they hold a bitmap they are large enough for.
    bool AcceptHandles();
    void release_text_info();

    platform::LocalHandle m_info_handle = nullptr;
    platform::LocalHandle m_bits_handle = nullptr;
    std::uint8_t* m_info = nullptr;
    std::uint8_t* m_bits = nullptr;
    std::string m_file_name;
    SusiePictureInfo m_picture_info{};
    TSPIGraphic* m_owner;
    bool m_info_valid = false;
    // An exception a progress handler raised inside a plug-in call.
    std::exception_ptr m_pending;
};

class TInSPIAbleFromFile : public TInSPIAbleData
{
public:
    TInSPIAbleFromFile(TSPIGraphic* owner, const std::string& path);

protected:
    void ReadHead(std::uint8_t* buffer, std::size_t count) override;
    void QueryInfo(TInSPI& spi, int offset) override;
    void DecodePreview(TInSPI& spi, int offset) override;
    void DecodePicture(TInSPI& spi, int offset) override;
};

// A TMemoryStream's buffer is used in place: the caller keeps the stream
// alive and unchanged while this object exists. Any other stream is copied
// whole, from position 0 (its position is left at its end).
class TInSPIAbleFromStream : public TInSPIAbleData
{
public:
    TInSPIAbleFromStream(TSPIGraphic* owner, TStream& stream, const std::string& name);

    const std::uint8_t* Memory() const { return m_memory; }
    std::int64_t Size() const { return m_size; }

protected:
    void ReadHead(std::uint8_t* buffer, std::size_t count) override;
    void QueryInfo(TInSPI& spi, int offset) override;
    void DecodePreview(TInSPI& spi, int offset) override;
    void DecodePicture(TInSPI& spi, int offset) override;

private:
    std::unique_ptr<TMemoryStream> m_owned_copy;
    const std::uint8_t* m_memory = nullptr;
    std::int64_t m_size = 0;
};

// The callback handed to the plug-ins: maps done/total to 2..99 and reports
// it; a handler raising EAbort asks the plug-in to stop, any other
// exception is kept and rethrown by the load once the plug-in returns.
int SUSIE_API SPIProgressCallback(int done, int total, susie_intptr data);
// Win32 MulDiv: a * b / c rounded to nearest (halves away from zero); -1
// when c is 0 or the result does not fit.
std::int32_t MulDiv(std::int32_t a, std::int32_t b, std::int32_t c);

class TSPIGraphic : public TGraphic
{
public:
    static const char* ClassName() { return "TSPIGraphic"; }

    TSPIGraphic() = default;
    ~TSPIGraphic() override;

    bool Empty() const override;
    // As stored in the BITMAPINFOHEADER: negative for a top-down picture.
    std::int32_t Height() const override;
    const TPalette* Palette() const override;
    std::int32_t Width() const override;
    void SetHeight(std::int32_t) override {}
    void SetWidth(std::int32_t) override {}
    // Throws EInvalidGraphic "Susie Plugins could not decode" when no
    // plug-in decodes the file; the graphic is empty then.
    void LoadFromFile(const std::string& path) override;
    void LoadFromStream(TStream& stream) override;
    virtual void LoadFromStreamWithName(TStream& stream, const std::string& name);
    // The decoded bitmap as a BMP file.
    void SaveToStream(TStream& stream) override;
    TPixelImage ToPixels() const override;

    bool Is4Bit() const;
    // Releases the decoded data; the graphic is empty afterwards.
    void FreeImage();

    TInSPIAbleData* Data() const { return m_data.get(); }
    std::int32_t HeaderSize() const;
    std::int32_t ImageSize() const;
    std::int32_t ColorCount() const;

private:
    void Decode(std::unique_ptr<TInSPIAbleData> data);
    void UpdateInfo() const;

    std::unique_ptr<TInSPIAbleData> m_data;
    // Cached from the BITMAPINFOHEADER by UpdateInfo.
    mutable std::int32_t m_height = 0;
    mutable std::int32_t m_width = 0;
    mutable TPalette m_palette;
    mutable std::int32_t m_header_size = 0;
    mutable std::int32_t m_image_size = 0;
    mutable std::int32_t m_color_count = 0;
    mutable bool m_is_4bit = false;
    mutable bool m_info_ready = false;
};

// Converts a graphic into a plain bitmap through its BMP file. With
// ReleaseSource::Data a TSPIGraphic's decoded data are freed once written.
enum class ReleaseSource { Keep, Data };
std::unique_ptr<TBitmap> GraphicToBitmap(TGraphic& graphic,
                                         ReleaseSource release = ReleaseSource::Keep);

class TSPIBitmap : public TBitmap
{
public:
    static const char* ClassName() { return "TSPIBitmap"; }

    using TSPILoadFromStreamWithNameEvent =
        std::function<void(TStream& stream, const std::string& file_name)>;

    TSPIBitmap() = default;

    void Assign(const TGraphic& source) override;
    // ".bmp" files are tried as a plain bitmap first, everything else
    // through the plug-ins first. Throws EInvalidGraphic "Susie Plugins
    // could not decode" when both fail; the bitmap keeps its content then.
    void LoadFromFile(const std::string& path) override;
    void LoadFromStream(TStream& stream) override;
    virtual void AssignLoadedGraphic(std::unique_ptr<TGraphic> graphic);
    virtual void LoadFromStreamWithName(TStream& stream, const std::string& name);

    // Always this object's own LoadFromStreamWithName; setting it does
    // nothing.
    TSPILoadFromStreamWithNameEvent OnLoadFromStreamWithName();
    void SetOnLoadFromStreamWithName(const TSPILoadFromStreamWithNameEvent&) {}

private:
    void ForwardProgress(TProgressStage stage, std::uint8_t percent_done, bool redraw_now,
                         const TRect& r, const std::string& msg);
    void LoadWith(const std::string& name, const std::function<void(TGraphic&)>& load,
                  const std::function<void()>& after_failure);
};

} // namespace zumo
