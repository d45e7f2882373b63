// Feeds arbitrary bytes to one decoder of the decoders library (the format
// comes from ZUMO_FUZZ_FORMAT, a decoders::Format), as the picture library
// and the plug-ins call it: the header first, then the picture. A decoded
// picture must hold the pixels its size says, within the limits, and stand
// as its header said once its orientation is applied.
#include "fuzz/fuzz_bounds.h"
#include "fuzz/fuzz_check.h"
#include "imagelib/decoders/decoders.h"
#include "imagelib/exif_orientation.h"
#include "imagelib/picture_limits.h"

#include <optional>
#include <span>

namespace {

constexpr decoders::Format k_format = decoders::Format::ZUMO_FUZZ_FORMAT;

void check(const decoders::Decoded& d, const std::optional<decoders::Header>& header)
{
    FUZZ_CHECK(imgctl::size_within_limits(d.width, d.height));
    FUZZ_CHECK(d.channels >= 1 && d.channels <= 4);
    FUZZ_CHECK(d.bits == 8 || d.bits == 16);
    FUZZ_CHECK(d.orientation >= 1 && d.orientation <= 8);
    const std::size_t samples = static_cast<std::size_t>(d.width) * d.height * d.channels;
    FUZZ_CHECK((d.bits == 8 ? d.pixels8.size() : d.pixels16.size()) == samples);
    // Touch the first and the last sample, so that a short buffer is a
    // sanitizer fault (every sample would take too long on large pictures).
    if (samples > 0) {
        volatile unsigned touched = d.bits == 8 ? d.pixels8.front() + d.pixels8.back()
                                                : d.pixels16.front() + d.pixels16.back();
        (void)touched;
    }
    if (header) {
        const bool sideways = imgctl::upright_for(d.orientation).quarters % 2 != 0;
        FUZZ_CHECK(header->width == (sideways ? d.height : d.width));
        FUZZ_CHECK(header->height == (sideways ? d.width : d.height));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::span<const std::uint8_t> file(data, size);
    if (decoders::sniff(file) != k_format)
        return 0;
    std::optional<decoders::Header> header;
    try {
        header = decoders::read_header(file);
        FUZZ_CHECK(header->format == k_format);
    } catch (const decoders::DecodeError&) {
    }
    if (header && fuzz::too_many_pixels(header->width, header->height))
        return 0;
    try {
        check(decoders::decode(file), header);
    } catch (const decoders::DecodeError& error) {
        FUZZ_CHECK(error.what()[0] != '\0');
    }
    return 0;
}
