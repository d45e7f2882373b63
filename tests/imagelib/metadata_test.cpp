// Metadata from source to output, checked with exiftool (an independent
// reader): JPEG->JPEG, JPEG->PNG, PNG->JPEG; stripping; broken blocks.
#include "imagelib/imgctl.h"

#include "imagelib/atomic_file.h"
#include "imagelib/jpeg_codec.h"
#include "support.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>

namespace {

using namespace imgctl;
using imgtest::Handle;
using imgtest::TempDir;

using Tags = std::map<std::string, std::string>;

// "exiftool -S -G1 -a -n" prints "[Group] Tag: value" lines; keys are
// "Group:Tag".
Tags exif_tags(const std::string& path)
{
    const std::string command = "exiftool -S -G1 -a -n '" + path + "' 2>&1";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    if (!pipe)
        throw std::runtime_error("cannot run exiftool");
    Tags tags;
    char line[4096];
    while (std::fgets(line, sizeof line, pipe.get()) != nullptr) {
        std::string s(line);
        if (!s.empty() && s.back() == '\n')
            s.pop_back();
        const auto close = s.find("] ");
        const auto colon = s.find(": ", close);
        if (s.empty() || s[0] != '[' || close == std::string::npos || colon == std::string::npos)
            continue;
        tags[s.substr(1, close - 1) + ":" + s.substr(close + 2, colon - close - 2)] =
            s.substr(colon + 2);
    }
    return tags;
}

// Whether any key starts with `prefix` ("IFD1:" for a group).
bool any_group(const Tags& tags, const std::string& prefix)
{
    for (const auto& [key, value] : tags) {
        if (key.rfind(prefix, 0) == 0)
            return true;
    }
    return false;
}

void run(const std::string& command)
{
    ASSERT_EQ(std::system((command + " >/dev/null 2>&1").c_str()), 0) << command;
}

// A small but well-formed RGB display profile: header, one text tag. The
// text is varied: libpng refuses an iCCP chunk that compresses to very
// few bytes.
std::vector<std::uint8_t> rgb_profile()
{
    constexpr std::size_t k_text = 256;
    std::vector<std::uint8_t> p(128 + 4 + 12 + 8 + k_text, 0);
    const auto put = [&](std::size_t at, const char* four) { std::memcpy(&p[at], four, 4); };
    const auto be = [&](std::size_t at, std::uint32_t v) {
        for (int i = 0; i < 4; ++i)
            p[at + i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
    };
    be(0, static_cast<std::uint32_t>(p.size()));
    be(8, 0x02100000);
    put(12, "mntr");
    put(16, "RGB ");
    put(20, "XYZ ");
    put(36, "acsp");
    be(68, 0x0000F6D6); // D50
    be(72, 0x00010000);
    be(76, 0x0000D32D);
    be(128, 1);
    put(132, "cprt");
    be(136, 144);
    be(140, static_cast<std::uint32_t>(8 + k_text));
    put(144, "text");
    std::uint32_t seed = 12345;
    for (std::size_t i = 0; i + 1 < k_text; ++i) {
        seed = seed * 1103515245u + 12345u;
        p[152 + i] = static_cast<std::uint8_t>('a' + (seed >> 16) % 26);
    }
    return p;
}

// A source photo 64 x 32 stored with orientation 6, camera EXIF with a
// thumbnail and 300 dpi, XMP, IPTC and an ICC profile, written by exiftool.
// With `ifd0_size`, IFD0 states the size too, as scanners write it.
std::string make_source(const TempDir& dir, const std::string& name, bool ifd0_size = false)
{
    const std::string path = dir.path(name);
    if (name.ends_with(".png"))
        imgtest::save_png(path, imgtest::photo(64, 32));
    else
        imgtest::save_jpeg(path, imgtest::photo(64, 32));
    imgtest::save_jpeg(dir.path("thumb.jpg"), imgtest::photo(16, 8));
    imgtest::write_bytes(dir.path("p.icc"), rgb_profile());
    run("exiftool -q -overwrite_original -Make=ZumoCam -Orientation#=6 "
        "-ExifIFD:ExifImageWidth=64 -ExifIFD:ExifImageHeight=32 -XResolution=300 "
        "-YResolution=300 -ResolutionUnit=inches -XMP-dc:Title=Zumo -XMP-tiff:Orientation#=6 "
        "-IPTC:Caption-Abstract=Zumo " +
        std::string(ifd0_size ? "-IFD0:ImageWidth=64 -IFD0:ImageHeight=32 " : "") +
        "'-ThumbnailImage<=" + dir.path("thumb.jpg") + "' '-ICC_Profile<=" + dir.path("p.icc") +
        "' '" + path + "'");
    return path;
}

struct RoundTrip
{
    const char* source;
    const char* output;
    bool ifd0_size; // the source's IFD0 states its size
};

class MetadataRoundTrip : public testing::TestWithParam<RoundTrip>
{
};

TEST_P(MetadataRoundTrip, KeepsWhatTheOutputCanHold)
{
    TempDir dir;
    const std::string source = make_source(dir, GetParam().source, GetParam().ifd0_size);
    const bool jpeg_out = std::string(GetParam().output).ends_with(".jpg");
    const std::string output = dir.path(GetParam().output);
    {
        Handle dib(ToDIB(source.c_str()));
        ASSERT_NE(dib.get(), 0u);
        ResizeDIB(dib, -1, 40); // upright 32 x 64 -> 20 x 40
        if (jpeg_out)
            DIBtoJPG(output.c_str(), dib, 90, 0);
        else
            DIBtoPNG(output.c_str(), dib, 0);
    }
    const Tags t = exif_tags(output);
    EXPECT_EQ(t.count("IFD0:Make") ? t.at("IFD0:Make") : "", "ZumoCam");
    EXPECT_EQ(t.count("IFD0:Orientation") ? t.at("IFD0:Orientation") : "", "1");
    EXPECT_EQ(t.count("ExifIFD:ExifImageWidth") ? t.at("ExifIFD:ExifImageWidth") : "", "20");
    EXPECT_EQ(t.count("ExifIFD:ExifImageHeight") ? t.at("ExifIFD:ExifImageHeight") : "", "40");
    // Updated where the source states it, never added.
    const std::string width = GetParam().ifd0_size ? "20" : "";
    const std::string height = GetParam().ifd0_size ? "40" : "";
    EXPECT_EQ(t.count("IFD0:ImageWidth") ? t.at("IFD0:ImageWidth") : "", width);
    EXPECT_EQ(t.count("IFD0:ImageHeight") ? t.at("IFD0:ImageHeight") : "", height);
    EXPECT_FALSE(any_group(t, "IFD1:")) << "thumbnail kept";
    EXPECT_EQ(t.count("XMP-dc:Title") ? t.at("XMP-dc:Title") : "", "Zumo");
    EXPECT_EQ(t.count("XMP-tiff:Orientation") ? t.at("XMP-tiff:Orientation") : "", "1");
    EXPECT_EQ(t.count("ICC-header:ColorSpaceData") ? t.at("ICC-header:ColorSpaceData") : "", "RGB");
    // PNG has no standard place for IPTC records.
    if (jpeg_out && std::string(GetParam().source).ends_with(".jpg")) {
        EXPECT_EQ(t.count("IPTC:Caption-Abstract") ? t.at("IPTC:Caption-Abstract") : "", "Zumo");
    }
    if (jpeg_out) {
        EXPECT_EQ(t.count("JFIF:XResolution") ? t.at("JFIF:XResolution") : "", "300");
        EXPECT_EQ(t.count("JFIF:ResolutionUnit") ? t.at("JFIF:ResolutionUnit") : "", "1");
    } else {
        EXPECT_EQ(t.count("PNG-pHYs:PixelsPerUnitX") ? t.at("PNG-pHYs:PixelsPerUnitX") : "",
                  "11811");
    }
}

INSTANTIATE_TEST_SUITE_P(Formats, MetadataRoundTrip,
                         testing::Values(RoundTrip{"in.jpg", "out.jpg", true},
                                         RoundTrip{"in.jpg", "out.png", false},
                                         RoundTrip{"in.png", "out.jpg", true}),
                         [](const auto& info) {
                             std::string name =
                                 std::string(info.param.source) + "_" + info.param.output;
                             for (char& c : name)
                                 c = c == '.' ? '_' : c;
                             return name;
                         });

// Stripping leaves nothing, not even the resolution; BMP keeps only the
// resolution; a picture loaded without the turn is written as stored and
// says so.
TEST(Metadata, StripBmpAndIgnoredOrientation)
{
    TempDir dir;
    const std::string source = make_source(dir, "in.jpg");
    {
        Handle stripped(ToDIBex(source.c_str(), {Orientation::Apply, MetadataUse::Strip}));
        DIBtoJPG(dir.path("stripped.jpg").c_str(), stripped, 90, 0);
        DIBtoBMP(dir.path("stripped.bmp").c_str(), stripped);
        Handle kept(ToDIB(source.c_str()));
        DIBtoBMP(dir.path("kept.bmp").c_str(), kept);
        Handle stored(ToDIBex(source.c_str(), {Orientation::Ignore, MetadataUse::Keep}));
        DIBtoJPG(dir.path("stored.jpg").c_str(), stored, 90, 0);
    }
    const Tags s = exif_tags(dir.path("stripped.jpg"));
    for (const char* group : {"IFD0:", "ExifIFD:", "XMP-dc:", "IPTC:", "ICC-header:"})
        EXPECT_FALSE(any_group(s, group)) << group;
    EXPECT_NE(s.count("JFIF:XResolution") ? s.at("JFIF:XResolution") : "", "300");
    EXPECT_EQ(exif_tags(dir.path("stripped.bmp")).at("File:PixelsPerMeterX"), "3780");
    EXPECT_EQ(exif_tags(dir.path("kept.bmp")).at("File:PixelsPerMeterX"), "11811");
    const Tags o = exif_tags(dir.path("stored.jpg"));
    EXPECT_EQ(o.count("IFD0:Orientation") ? o.at("IFD0:Orientation") : "", "1");
    EXPECT_EQ(o.count("File:ImageWidth") ? o.at("File:ImageWidth") : "", "64");
}

// The resolution a BMP states goes on to every output that holds one, with
// x and y apart; a BMP that states none gives PNG no pHYs and BMP the usual
// 96 dpi.
TEST(Metadata, BmpResolutionCarriesOver)
{
    struct Case
    {
        std::int32_t x_ppm; // as stated by the source
        std::int32_t y_ppm;
        const char* output;
        const char* tag;
        const char* expected; // "" for absent
    };
    const Case cases[] = {
        {11811, 11811, "out.png", "PNG-pHYs:PixelsPerUnitX", "11811"},
        {11811, 11811, "out.jpg", "JFIF:XResolution", "300"},
        {11811, 11811, "out.bmp", "File:PixelsPerMeterX", "11811"},
        {11811, 5906, "out.bmp", "File:PixelsPerMeterY", "5906"},
        {11811, 5906, "out.png", "PNG-pHYs:PixelsPerUnitY", "5906"},
        {11811, 5906, "out.jpg", "JFIF:YResolution", "150"},
        {0, 0, "out.png", "PNG-pHYs:PixelsPerUnitX", ""},
        {0, 0, "out.bmp", "File:PixelsPerMeterX", "3780"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.x_ppm) + "x" + std::to_string(c.y_ppm) + " " + c.tag);
        TempDir dir;
        imgtest::save_bmp(dir.path("in.bmp"), imgtest::photo(8, 6));
        std::vector<std::uint8_t> bmp = imgtest::read_bytes(dir.path("in.bmp"));
        for (const auto& [at, ppm] : {std::pair{38u, c.x_ppm}, std::pair{42u, c.y_ppm}})
            for (int i = 0; i < 4; ++i) // biXPelsPerMeter, biYPelsPerMeter
                bmp[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(ppm >> (8 * i));
        imgtest::write_bytes(dir.path("in.bmp"), bmp);
        const std::string output = dir.path(c.output);
        {
            Handle dib(ToDIB(dir.path("in.bmp").c_str()));
            ASSERT_NE(dib.get(), 0u);
            if (output.ends_with(".png"))
                DIBtoPNG(output.c_str(), dib, 0);
            else if (output.ends_with(".jpg"))
                DIBtoJPG(output.c_str(), dib, 90, 0);
            else
                DIBtoBMP(output.c_str(), dib);
        }
        const Tags t = exif_tags(output);
        EXPECT_EQ(t.count(c.tag) ? t.at(c.tag) : "", c.expected);
    }
}

// A quarter turn swaps the horizontal and vertical resolution in every
// place an output states them; a half turn and a turn by any angle keep
// them. The JPEG source states 300 x 150 dpi in JFIF, EXIF and XMP and is
// turned while still pending; the PNG source states it in EXIF alone (the
// fallback where the container has none) and is decoded at load.
TEST(Metadata, QuarterTurnsSwapTheResolution)
{
    TempDir dir;
    const auto source = [&](const std::string& name, int orientation) {
        const std::string path = dir.path(name);
        if (name.ends_with(".png"))
            imgtest::save_png(path, imgtest::photo(64, 32));
        else
            imgtest::save_jpeg(path, imgtest::photo(64, 32));
        run("exiftool -q -overwrite_original -XResolution=300 -YResolution=150 "
            "-ResolutionUnit=inches -Orientation#=" +
            std::to_string(orientation) +
            (name.ends_with(".jpg") ? " -JFIF:XResolution=300 -JFIF:YResolution=150 "
                                      "-JFIF:ResolutionUnit=inches -XMP-tiff:XResolution=300 "
                                      "-XMP-tiff:YResolution=150"
                                    : "") +
            " '" + path + "'");
        return path;
    };
    const std::string jpeg = source("in.jpg", 1);
    const std::string jpeg6 = source("in6.jpg", 6);
    const std::string png = source("in.png", 1);
    struct Turn
    {
        const char* name;
        const std::string& source;
        std::int32_t angle; // TurnDIB degrees, or TurnDIBex thousandths when `ex`
        bool ex;
        bool swapped;
    };
    const Turn turns[] = {
        {"90", jpeg, 90, false, true},
        {"180", jpeg, 180, false, false},
        {"270", jpeg, 270, false, true},
        {"ex 90", jpeg, 90000, true, true},
        {"ex 45", jpeg, 45000, true, false},
        {"EXIF 6", jpeg6, 0, false, true},
        {"EXIF 6 + 90", jpeg6, 90, false, false},
        {"PNG 90", png, 90, false, true},
    };
    for (const Turn& turn : turns) {
        for (const std::string output : {"out.bmp", "out.png", "out.jpg"}) {
            SCOPED_TRACE(std::string(turn.name) + " to " + output);
            const std::string out = dir.path(output);
            {
                Handle dib(ToDIB(turn.source.c_str()));
                ASSERT_NE(dib.get(), 0u);
                if (turn.ex)
                    TurnDIBex(dib, turn.angle, 0);
                else
                    TurnDIB(dib, turn.angle);
                if (output.ends_with(".bmp"))
                    DIBtoBMP(out.c_str(), dib);
                else if (output.ends_with(".png"))
                    DIBtoPNG(out.c_str(), dib, 0);
                else
                    DIBtoJPG(out.c_str(), dib, 90, 0);
            }
            const Tags t = exif_tags(out);
            const auto pair = [&](const std::string& x_tag, const std::string& y_tag) {
                return (t.count(x_tag) ? t.at(x_tag) : "-") + "x" +
                       (t.count(y_tag) ? t.at(y_tag) : "-");
            };
            const bool jpeg_source = &turn.source != &png;
            const std::string dpi = turn.swapped ? "150x300" : "300x150";
            const std::string ppm = turn.swapped ? "5906x11811" : "11811x5906";
            if (output.ends_with(".bmp")) {
                EXPECT_EQ(pair("File:PixelsPerMeterX", "File:PixelsPerMeterY"), ppm);
            } else {
                EXPECT_EQ(pair("IFD0:XResolution", "IFD0:YResolution"), dpi);
            }
            if (output.ends_with(".png")) {
                EXPECT_EQ(pair("PNG-pHYs:PixelsPerUnitX", "PNG-pHYs:PixelsPerUnitY"), ppm);
            }
            if (output.ends_with(".jpg")) {
                EXPECT_EQ(pair("JFIF:XResolution", "JFIF:YResolution"), dpi);
            }
            if (!output.ends_with(".bmp") && jpeg_source) {
                EXPECT_EQ(pair("XMP-tiff:XResolution", "XMP-tiff:YResolution"), dpi);
            }
        }
    }
}

// A JPEG segment inserted right after the start marker.
std::vector<std::uint8_t> with_segment(std::vector<std::uint8_t> jpeg, std::uint8_t marker,
                                       const std::vector<std::uint8_t>& payload)
{
    const std::size_t length = payload.size() + 2;
    std::vector<std::uint8_t> segment = {0xFF, marker, static_cast<std::uint8_t>(length >> 8),
                                         static_cast<std::uint8_t>(length)};
    segment.insert(segment.end(), payload.begin(), payload.end());
    jpeg.insert(jpeg.begin() + 2, segment.begin(), segment.end());
    return jpeg;
}

std::vector<std::uint8_t> named(const char* name, std::size_t name_size,
                                const std::vector<std::uint8_t>& body)
{
    std::vector<std::uint8_t> out(name, name + name_size);
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

// Broken metadata converts as if it were absent: the picture loads at its
// stored orientation and the output carries none of the broken block.
struct BrokenCase
{
    const char* name;
    std::uint8_t marker;
    std::vector<std::uint8_t> payload;
    const char* absent_group;
};

class BrokenMetadata : public testing::TestWithParam<BrokenCase>
{
};

TEST_P(BrokenMetadata, ConvertsAsIfAbsent)
{
    TempDir dir;
    imgtest::save_jpeg(dir.path("plain.jpg"), imgtest::photo(64, 32));
    imgtest::write_bytes(dir.path("in.jpg"),
                         with_segment(imgtest::read_bytes(dir.path("plain.jpg")), GetParam().marker,
                                      GetParam().payload));
    {
        Handle dib(ToDIB(dir.path("in.jpg").c_str()));
        ASSERT_NE(dib.get(), 0u);
        EXPECT_EQ(GetDIBInfo(dib).width, 64);
        DIBtoJPG(dir.path("out.jpg").c_str(), dib, 90, 0);
        DIBtoPNG(dir.path("out.png").c_str(), dib, 0);
    }
    for (const char* out : {"out.jpg", "out.png"}) {
        const Tags t = exif_tags(dir.path(out));
        const std::string width = t.count("File:ImageWidth")  ? t.at("File:ImageWidth")
                                  : t.count("PNG:ImageWidth") ? t.at("PNG:ImageWidth")
                                                              : "";
        EXPECT_EQ(width, "64") << out;
        EXPECT_FALSE(any_group(t, GetParam().absent_group)) << out;
    }
}

std::vector<std::uint8_t> exif_with(unsigned orientation, std::uint32_t ifd_offset)
{
    imgtest::Bytes b;
    b.text("MM").u8(0).u8(42);
    b.u8(ifd_offset >> 24).u8(ifd_offset >> 16).u8(ifd_offset >> 8).u8(ifd_offset);
    b.u8(0).u8(1).u8(0x01).u8(0x12).u8(0).u8(3).u32(0x01000000).u8(0).u8(orientation).u16(0);
    b.u32(0);
    return b.data;
}

std::vector<BrokenCase> broken_cases()
{
    const std::vector<std::uint8_t> icc = rgb_profile();
    std::vector<std::uint8_t> first_half = {1, 2}; // chunk 1 of 2, the second never comes
    first_half.insert(first_half.end(), icc.begin(), icc.begin() + 60);
    std::vector<std::uint8_t> cut = {1, 1}; // a whole-looking chunk missing its tail
    cut.insert(cut.end(), icc.begin(), icc.begin() + 100);
    return {
        {"Orientation0", 0xE1, named("Exif\0\0", 6, exif_with(0, 8)), "IFD0:Orientation"},
        {"Orientation9", 0xE1, named("Exif\0\0", 6, exif_with(9, 8)), "IFD0:Orientation"},
        {"IfdBeyondBlock", 0xE1, named("Exif\0\0", 6, exif_with(6, 4000)), "IFD0:"},
        {"IfdInsideHeader", 0xE1, named("Exif\0\0", 6, exif_with(6, 2)), "IFD0:"},
        {"IccMissingChunk", 0xE2, named("ICC_PROFILE\0", 12, first_half), "ICC-header:"},
        {"IccTruncated", 0xE2, named("ICC_PROFILE\0", 12, cut), "ICC-header:"},
        {"XmpNotXml", 0xE1, named("http://ns.adobe.com/xap/1.0/\0", 29, {'<', 'x', 0xFF}),
         "XMP-x:"},
        {"IptcNotIrb", 0xED, named("Photoshop 3.0\0", 14, {'8', 'B', 'I', 'M', 4, 4, 0}), "IPTC:"},
    };
}

INSTANTIATE_TEST_SUITE_P(Blocks, BrokenMetadata, testing::ValuesIn(broken_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

// --- XMP packets near the size one JPEG segment holds ---------------------------

// A packet of `size` bytes without whitespace, as some writers lay it out:
// a title, maybe an orientation, and a description that is `escaped` times
// '>', which a re-serialisation writes as "&gt;", and spaces and letters.
std::string xmp_packet(std::size_t size, std::size_t escaped, const char* orientation)
{
    const std::string head =
        std::string("<?xpacket begin=\"\xEF\xBB\xBF\" id=\"W5M0MpCehiHzreSzNTczkc9d\"?>"
                    "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF "
                    "xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\"><rdf:Description "
                    "rdf:about=\"\" xmlns:dc=\"http://purl.org/dc/elements/1.1/\" "
                    "xmlns:tiff=\"http://ns.adobe.com/tiff/1.0/\" tiff:Orientation=\"") +
        orientation +
        "\"><dc:title><rdf:Alt><rdf:li xml:lang=\"x-default\">Zumo</rdf:li></rdf:Alt></dc:title>"
        "<dc:description><rdf:Alt><rdf:li xml:lang=\"x-default\">" +
        std::string(escaped, '>');
    const std::string tail = "</rdf:li></rdf:Alt></dc:description></rdf:Description></rdf:RDF>"
                             "</x:xmpmeta><?xpacket end=\"w\"?>";
    std::string text(size - head.size() - tail.size(), 'z');
    for (std::size_t i = 7; i < text.size(); i += 8)
        text[i] = ' ';
    return head + text + tail;
}

struct XmpCase
{
    const char* name;
    std::size_t size;
    std::size_t escaped;
    const char* orientation;
    bool in_jpeg; // the JPEG output carries it
};

class BigXmp : public testing::TestWithParam<XmpCase>
{
};

// Exiv2 writes a packet back about 2 KB larger (formatting, padding) and
// several times larger where it escapes characters. JPEG output keeps the
// packet in its one segment as long as some form of it fits; PNG has no
// bound and keeps it always. The form kept never says the picture still
// needs turning.
TEST_P(BigXmp, KeptInJpegWhileSomeFormFits)
{
    const XmpCase& c = GetParam();
    TempDir dir;
    const std::string packet = xmp_packet(c.size, c.escaped, c.orientation);
    imgtest::save_jpeg(dir.path("plain.jpg"), imgtest::photo(16, 8));
    imgtest::write_bytes(
        dir.path("in.jpg"),
        with_segment(imgtest::read_bytes(dir.path("plain.jpg")), 0xE1,
                     named("http://ns.adobe.com/xap/1.0/\0", 29, {packet.begin(), packet.end()})));
    {
        Handle dib(ToDIB(dir.path("in.jpg").c_str()));
        ASSERT_NE(dib.get(), 0u);
        DIBtoJPG(dir.path("out.jpg").c_str(), dib, 90, 0);
        DIBtoPNG(dir.path("out.png").c_str(), dib, 0);
    }
    Tags jpeg = exif_tags(dir.path("out.jpg"));
    Tags png = exif_tags(dir.path("out.png"));
    EXPECT_EQ(jpeg["XMP-dc:Title"], c.in_jpeg ? "Zumo" : "");
    EXPECT_EQ(png["XMP-dc:Title"], "Zumo");
    EXPECT_NE(jpeg["XMP-tiff:Orientation"], "6");
}

constexpr std::size_t k_segment_room = 65533 - 29; // an APP1 payload less the XMP name

INSTANTIATE_TEST_SUITE_P(Sizes, BigXmp,
                         testing::Values(XmpCase{"GrowsPastTheSegment", k_segment_room - 300, 0,
                                                 "6", true},
                                         XmpCase{"FillsTheSegment", k_segment_room, 0, "1", true},
                                         XmpCase{"EscapesPastTheSegment", 40000, 12000, "1", true},
                                         XmpCase{"EscapesAndTurned", 40000, 12000, "6", false}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
