// The shipped HEIF and JPEG XL plug-ins, driven through the host as the
// preview does: they show the pixels the picture library's decoder gives
// (8 bits, upright), and refuse damaged files.
#include "graphics/picture.h"
#include "imagelib/decoders/decoders.h"
#include "spi/SPIBmp.h"
#include "spi/SPIs.h"
#include "tests/plugins/shipped_plugins.h"
#include "tests/support/heif_jxl_pictures.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>

namespace zumo {
namespace {

using testsupport::Bytes;

struct PluginCase
{
    const char* name;
    const char* extension;
    std::function<Bytes()> make;
    bool needs_av1 = false;
    bool needs_hevc = false;
};

void PrintTo(const PluginCase& c, std::ostream* out)
{
    *out << c.name;
}

class HeifJxlPlugins : public ShippedPluginsBase, public ::testing::WithParamInterface<PluginCase>
{
protected:
    std::string write(const std::string& name, const Bytes& bytes)
    {
        const std::string file = m_dir / name;
        std::ofstream(file, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
        return file;
    }
    bool codec_missing(const PluginCase& c)
    {
        return (c.needs_av1 && !testsupport::have_encoder(heif_compression_AV1)) ||
               (c.needs_hevc && !testsupport::have_encoder(heif_compression_HEVC));
    }
};

// One sample of the library's decoding as 8 bits, grey as all three colours.
int library_sample(const decoders::Decoded& d, std::size_t pixel, int channel)
{
    const std::size_t at = pixel * std::size_t(d.channels) +
                           std::size_t(d.channels <= 2 ? (channel == 3 ? 1 : 0) : channel);
    return d.bits == 16 ? d.pixels16[at] / 257.0 + 0.5 : d.pixels8[at];
}

TEST_P(HeifJxlPlugins, ShowWhatTheLibraryDecodes)
{
    const PluginCase& c = GetParam();
    if (codec_missing(c))
        GTEST_SKIP() << "libheif here cannot encode this codec";
    const Bytes bytes = c.make();
    const std::string file = write(std::string("p.") + c.extension, bytes);
    const decoders::Decoded library = decoders::decode(bytes);
    const bool alpha = library.channels == 2 || library.channels == 4;

    TSPIGraphic graphic;
    graphic.LoadFromFile(file);
    const TPixelImage shown = graphic.ToPixels();
    ASSERT_EQ(shown.width, library.width);
    ASSERT_EQ(shown.height, library.height);
    EXPECT_EQ(shown.has_alpha, alpha);
    ASSERT_EQ(shown.bgra.size(), std::size_t(shown.width) * shown.height * 4);
    for (std::size_t i = 0; i < shown.bgra.size() / 4; ++i)
        for (int channel = 0; channel < (alpha ? 4 : 3); ++channel)
            ASSERT_NEAR(shown.bgra[i * 4 + channel], library_sample(library, i, channel), 1)
                << "pixel " << i << " channel " << channel;
}

using testsupport::HeifSpec;
using testsupport::JxlSpec;

INSTANTIATE_TEST_SUITE_P(
    Pictures, HeifJxlPlugins,
    ::testing::Values(
        PluginCase{"avif_alpha_turned", "avif",
                   [] {
                       return testsupport::encode_heif({"", heif_compression_AV1, 8, true,
                                                        heif_orientation_rotate_90_cw, true});
                   },
                   true},
        PluginCase{"heic_mirrored", "heic",
                   [] {
                       return testsupport::encode_heif({"", heif_compression_HEVC, 8, false,
                                                        heif_orientation_flip_horizontally});
                   },
                   false, true},
        PluginCase{"heic_10bit", "heif",
                   [] {
                       return testsupport::encode_heif({"", heif_compression_HEVC, 10});
                   },
                   false, true},
        PluginCase{"jxl_alpha_turned", "jxl",
                   [] {
                       return testsupport::encode_jxl(JxlSpec{"", 8, true, 8});
                   }},
        PluginCase{"jxl_16bit_exif", "jxl",
                   [] {
                       return testsupport::encode_jxl(JxlSpec{"", 16, false, 6, true, true, true});
                   }},
        PluginCase{"jxl_grey_alpha", "jxl",
                   [] {
                       JxlSpec grey{"", 8, true};
                       grey.grey = true;
                       return testsupport::encode_jxl(grey);
                   }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_P(HeifJxlPlugins, RefuseCutFiles)
{
    const PluginCase& c = GetParam();
    if (codec_missing(c))
        GTEST_SKIP() << "libheif here cannot encode this codec";
    const Bytes whole = c.make();
    for (std::size_t size : {whole.size() / 2, whole.size() - 4}) {
        SCOPED_TRACE(size);
        const std::string file =
            write(std::string("cut.") + c.extension, testsupport::cut(whole, size));
        TSPIGraphic graphic;
        EXPECT_THROW(graphic.LoadFromFile(file), EInvalidGraphic);
    }
}

} // namespace
} // namespace zumo
