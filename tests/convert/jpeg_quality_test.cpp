// The JPEG quality chosen in UpDown1 reaches the encoder exactly: the file's
// quantisation tables are the ones libjpeg derives from that quality, and
// not those of its neighbours.
#include "conversion_fixture.h"

#include <cstdio>
#include <jpeglib.h>

#include <array>

namespace zumo::test {
namespace {

using Tables = std::array<std::array<unsigned, DCTSIZE2>, 2>; // luminance, chrominance

Tables tables_for_quality(int quality)
{
    jpeg_compress_struct info{};
    jpeg_error_mgr errors{};
    info.err = jpeg_std_error(&errors);
    jpeg_create_compress(&info);
    info.in_color_space = JCS_RGB;
    info.input_components = 3;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, quality, TRUE);
    Tables tables{};
    for (std::size_t t = 0; t < 2; ++t)
        for (std::size_t i = 0; i < DCTSIZE2; ++i)
            tables[t][i] = info.quant_tbl_ptrs[t]->quantval[i];
    jpeg_destroy_compress(&info);
    return tables;
}

Tables tables_of_file(const std::string& path)
{
    Tables tables{};
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file)
        return tables;
    jpeg_decompress_struct info{};
    jpeg_error_mgr errors{};
    info.err = jpeg_std_error(&errors);
    jpeg_create_decompress(&info);
    jpeg_stdio_src(&info, file);
    jpeg_read_header(&info, TRUE);
    for (std::size_t t = 0; t < 2; ++t)
        for (std::size_t i = 0; info.quant_tbl_ptrs[t] && i < DCTSIZE2; ++i)
            tables[t][i] = info.quant_tbl_ptrs[t]->quantval[i];
    jpeg_destroy_decompress(&info);
    std::fclose(file);
    return tables;
}

class JpegQuality : public ConversionTest, public testing::WithParamInterface<int>
{
};

TEST_P(JpegQuality, ReachesTheEncoderExactly)
{
    const int quality = GetParam();
    // Only qualities whose tables differ from both neighbours tell them apart.
    ASSERT_NE(tables_for_quality(quality), tables_for_quality(quality - 1));
    ASSERT_NE(tables_for_quality(quality), tables_for_quality(quality + 1));
    const std::string input = make("photo.bmp");
    options.current.CheckBox6 = false;
    options.current.RadioGroup1 = 3;
    options.current.UpDown1 = quality;
    ASSERT_EQ(engine.ConvertImageFile(input), FileResult::Written);
    EXPECT_EQ(tables_of_file(in("photo.jpg")), tables_for_quality(quality));
}

// Both sides of the chroma subsampling switch at 90, and the default 92.
INSTANTIATE_TEST_SUITE_P(Qualities, JpegQuality, testing::Values(10, 50, 89, 90, 92));

} // namespace
} // namespace zumo::test
