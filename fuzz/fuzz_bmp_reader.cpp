// Feeds arbitrary bytes to the BMP reader, whole-file and split forms.
#include "fuzz/fuzz_bounds.h"
#include "imagelib/bmp_reader.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::span<const std::uint8_t> bytes(data, size);
    if (fuzz::bmp_states_huge(bytes) || (size > 1 && fuzz::dib_states_huge(bytes.subspan(1))))
        return 0;
    try {
        imgctl::read_bmp(bytes);
    } catch (const imgctl::ImageError&) {
    }
    // The split form: the first byte chooses where the info block ends.
    if (size > 1) {
        const std::span<const std::uint8_t> rest = bytes.subspan(1);
        const std::size_t split = data[0] % rest.size();
        try {
            imgctl::read_dib(rest.first(split), rest.subspan(split));
        } catch (const imgctl::ImageError&) {
        }
    }
    return 0;
}
