#include "conversion_fixture.h"

#include "tests/support/interlace.h"

namespace zumo::test {
namespace {

using testsupport::gif_interlaced;
using testsupport::png_interlaced;

TEST_F(ConversionTest, GifIgnoresRotationResizeAndRadioGroup1)
{
    const std::string input = make("anim.gif", Format::Gif);
    OptionSnapshot& o = options.current;
    o.CheckBox6 = false;
    o.TurnAngle = 90;
    o.CheckBox3 = true;
    o.UpDown2 = 45;
    o.CheckBox7 = true;
    o.RadioGroup5 = 6;
    o.UpDown3 = 10;
    o.RadioGroup1 = -1;
    EXPECT_EQ(engine.ConvertGifFile(input), FileResult::Written); // RadioGroup2 "→BMP"
    EXPECT_EQ(picture_size(in("anim.bmp")), (Size{40, 20}));
    EXPECT_TRUE(host.events.empty());
}

struct InterlaceCase
{
    const char* name;
    bool gif_input; // ConvertGifFile, else ConvertImageFile
    int item;       // RadioGroup2 or RadioGroup1
    const char* output;
    bool (*interlaced)(const std::vector<std::uint8_t>&);
};

class Interlace : public ConversionTest, public testing::WithParamInterface<InterlaceCase>
{
};

TEST_P(Interlace, FollowsTheMirrorField)
{
    const InterlaceCase& c = GetParam();
    const std::string input =
        c.gif_input ? make("anim.gif", Format::Gif) : make("photo.jpg", Format::Jpg);
    options.current.CheckBox6 = false;
    for (bool interlaced : {false, true}) {
        options.current.Interlaced = interlaced;
        options.current.RadioGroup1 = options.current.RadioGroup2 = c.item;
        const FileResult result =
            c.gif_input ? engine.ConvertGifFile(input) : engine.ConvertImageFile(input);
        ASSERT_EQ(result, FileResult::Written);
        EXPECT_EQ(c.interlaced(read_bytes(in(c.output))), interlaced);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Encoders, Interlace,
    testing::Values(InterlaceCase{"ImageToPng", false, 1, "photo.png", png_interlaced},
                    InterlaceCase{"ImageToGif", false, 2, "photo.gif", gif_interlaced},
                    InterlaceCase{"GifToPng", true, 2, "anim.png", png_interlaced}),
    [](const testing::TestParamInfo<InterlaceCase>& info) { return info.param.name; });

TEST_F(ConversionTest, GifToJpegTakesTheQualityAndIgnoresInterlace)
{
    const std::string input = make("anim.gif", Format::Gif, 64, 64);
    options.current.CheckBox6 = false;
    options.current.RadioGroup2 = 0;
    auto convert = [&](int quality, bool interlaced) {
        options.current.UpDown1 = quality;
        options.current.Interlaced = interlaced;
        EXPECT_EQ(engine.ConvertGifFile(input), FileResult::Written);
        return read_bytes(in("anim.jpg"));
    };
    const std::vector<std::uint8_t> fine = convert(95, false);
    EXPECT_EQ(convert(95, true), fine);
    EXPECT_LT(convert(20, false).size(), fine.size());
}

TEST_F(ConversionTest, GifConversionFailsAndSkipsLikeTheImageConversion)
{
    // A JPEG ticked in the list: GIFtoDIB does not read it.
    EXPECT_EQ(engine.ConvertGifFile(make("photo.jpg", Format::Jpg)), FileResult::Failed);
    const std::string jpeg = in("photo.jpg");
    EXPECT_EQ(host.events, (std::vector<std::string>{"Beep", k_cannot_process + jpeg +
                                                                 ": GIF ファイルではありません)"}));
    host.events.clear();

    const std::string input = make("anim.gif", Format::Gif);
    options.current.RadioGroup2 = -1;
    EXPECT_EQ(engine.ConvertGifFile(input), FileResult::Skipped);
    options.current.RadioGroup2 = 1;
    options.current.CheckBox1 = true;
    host.answers = {Answer::Yes};
    EXPECT_EQ(engine.ConvertGifFile(input), FileResult::Skipped);
    EXPECT_EQ(host.events, std::vector<std::string>{k_folder_question});
    EXPECT_EQ(outputs({input, in("photo.jpg")}), std::vector<std::string>{});
}

} // namespace
} // namespace zumo::test
