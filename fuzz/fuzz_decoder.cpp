// Feeds arbitrary bytes to one of the picture library's further decoders
// (HEIF or JPEG XL, chosen when built), past the format sniffing, so that
// what libFuzzer finds reaches the container and code stream parsers. A
// decoder either throws DecodeError or returns a picture whose buffers hold
// what its size says, within the limits, with nothing left to turn.
#include "imagelib/decoders/formats.h"
#include "imagelib/exif_orientation.h"
#include "imagelib/picture_limits.h"

#include <cstdint>
#include <cstdlib>

namespace {

#if defined(ZUMO_FUZZ_HEIF)
constexpr auto read_header = decoders::heif_header;
constexpr auto decode = decoders::decode_heif;
#elif defined(ZUMO_FUZZ_JXL)
constexpr auto read_header = decoders::jxl_header;
constexpr auto decode = decoders::decode_jxl;
#else
#error "define ZUMO_FUZZ_HEIF or ZUMO_FUZZ_JXL"
#endif

void check(const decoders::Decoded& d)
{
    const std::size_t samples = std::size_t(d.width) * std::size_t(d.height) * d.channels;
    const bool sizes_hold = d.bits == 8 ? d.pixels8.size() == samples && d.pixels16.empty()
                                        : d.bits == 16 && d.pixels16.size() == samples &&
                                              d.pixels8.empty();
    if (!imgctl::size_within_limits(d.width, d.height) || d.channels < 1 || d.channels > 4 ||
        !sizes_hold || d.orientation != 1 ||
        (!d.exif.empty() && imgctl::exif_orientation(d.exif) != 1))
        std::abort();
    // Touch the last sample, so that a short buffer is a sanitizer fault.
    volatile int last = d.bits == 8 ? d.pixels8.back() : d.pixels16.back();
    (void)last;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::span<const std::uint8_t> file(data, size);
    try {
        const decoders::Header header = read_header(file);
        if (!imgctl::size_within_limits(header.width, header.height))
            std::abort();
    } catch (const decoders::DecodeError&) {
    }
    try {
        check(decode(file));
    } catch (const decoders::DecodeError&) {
    }
    return 0;
}
