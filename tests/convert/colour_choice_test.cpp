// Which conversions put the pixels into sRGB: those whose output will not
// carry the source's colour profile (BMP and GIF cannot, and stripped
// metadata drops it). The others keep the pixels and the profile.
#include "conversion_fixture.h"

#include "imagelib/atomic_file.h"
#include "imagelib/colour.h"
#include "imagelib/jpeg_codec.h"
#include "imagelib/png_codec.h"

#include <string>

#include <opencv2/core.hpp>

namespace zumo::test {
namespace {

struct ColourCase
{
    const char* source;
    int RadioGroup1; // 0 BMP, 1 PNG, 2 GIF, 3 JPG
    bool CheckBox10; // keep the metadata
    const char* output;
    bool converted;
};

class OutputColour : public ConversionTest, public testing::WithParamInterface<ColourCase>
{
};

TEST_P(OutputColour, ConvertsWhereTheProfileIsLost)
{
    const ColourCase c = GetParam();
    // Linear light in BT.2020 primaries: its numbers mean very different
    // colours in sRGB.
    imgctl::OutputMetadata metadata;
    metadata.icc = imgctl::icc_for_nclx({9, 8, 9, true});
    ASSERT_FALSE(metadata.icc.empty());
    const cv::Mat flat(16, 16, CV_8UC3, cv::Scalar(40, 120, 200));
    const std::string input = in(c.source);
    {
        imgctl::AtomicFile out(input);
        if (input.ends_with(".png"))
            imgctl::encode_png(out, flat, imgctl::Interlace::Off, &metadata);
        else
            imgctl::encode_jpeg(out, flat, 100, &metadata);
        out.commit();
    }
    options.current.CheckBox6 = false;
    options.current.RadioGroup1 = c.RadioGroup1;
    options.current.CheckBox10 = c.CheckBox10;
    ASSERT_EQ(engine.ConvertImageFile(input), FileResult::Written);

    const imgctl::HDIB written = imgctl::ToDIB(in(c.output).c_str());
    ASSERT_NE(written, 0u);
    const std::vector<std::uint8_t> bgra = imgctl::GetDIBPixels(written);
    imgctl::DeleteDIB(written);
    const cv::Mat expected = c.converted ? imgctl::to_srgb8(flat, metadata.icc) : flat;
    const cv::Vec3b want = expected.at<cv::Vec3b>(8, 8);
    const std::size_t centre = (8 * 16 + 8) * 4;
    for (int channel = 0; channel < 3; ++channel)
        EXPECT_NEAR(bgra[centre + channel], want[channel], 2) << "channel " << channel;
}

INSTANTIATE_TEST_SUITE_P(Outputs, OutputColour,
                         testing::Values(ColourCase{"wide.png", 0, true, "wide.bmp", true},
                                         ColourCase{"wide.png", 2, true, "wide.gif", true},
                                         ColourCase{"wide.png", 3, true, "wide.jpg", false},
                                         ColourCase{"wide.jpg", 1, true, "wide.png", false},
                                         ColourCase{"wide.png", 3, false, "wide.jpg", true},
                                         ColourCase{"wide.jpg", 1, false, "wide.png", true}),
                         [](const auto& info) {
                             std::string name = std::string(info.param.source) + "_to_" +
                                                info.param.output +
                                                (info.param.CheckBox10 ? "_kept" : "_stripped");
                             for (char& c : name)
                                 c = c == '.' ? '_' : c;
                             return name;
                         });

} // namespace
} // namespace zumo::test
