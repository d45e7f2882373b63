#include "imagelib/decoded_picture.h"

#include "imagelib/colour.h"
#include "imagelib/limits.h"

#include <memory>
#include <utility>

namespace imgctl {

namespace {

void round_samples(const std::uint16_t* in, std::uint8_t* out, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i)
        out[i] = decoders::eight_bits(in[i]);
}

} // namespace

void to_8bit(decoders::Decoded& decoded)
{
    if (decoded.bits != 16)
        return;
    decoded.pixels8.resize(decoded.pixels16.size());
    round_samples(decoded.pixels16.data(), decoded.pixels8.data(), decoded.pixels16.size());
    decoded.pixels16 = {};
    decoded.bits = 8;
}

namespace {

// Lets a matrix own the vector the decoder filled, so that 8-bit B G R (A)
// pixels become the picture without a copy of the whole picture. The vector
// is freed with the matrix's last reference; a matrix made again in its
// place (an operation writing another size into it) gets OpenCV's own
// memory.
class AdoptedPixels final : public cv::MatAllocator
{
public:
    static cv::Mat adopt(std::vector<std::uint8_t>&& bytes, int rows, int cols, int type)
    {
        static const AdoptedPixels allocator;
        auto owner = std::make_unique<std::vector<std::uint8_t>>(std::move(bytes));
        auto data = std::make_unique<cv::UMatData>(&allocator);
        data->data = data->origdata = owner->data();
        data->size = owner->size();
        data->refcount = 1;
        cv::Mat matrix(rows, cols, type, owner->data());
        data->userdata = owner.release();
        matrix.u = data.release();
        return matrix;
    }

    cv::UMatData* allocate(int dims, const int* sizes, int type, void* data, size_t* step,
                           cv::AccessFlag flags, cv::UMatUsageFlags usage) const override
    {
        return cv::Mat::getStdAllocator()->allocate(dims, sizes, type, data, step, flags, usage);
    }
    bool allocate(cv::UMatData* data, cv::AccessFlag flags, cv::UMatUsageFlags usage) const override
    {
        return cv::Mat::getStdAllocator()->allocate(data, flags, usage);
    }
    void deallocate(cv::UMatData* data) const override
    {
        std::unique_ptr<cv::UMatData> owned(data);
        std::unique_ptr<std::vector<std::uint8_t>> bytes(
            static_cast<std::vector<std::uint8_t>*>(data->userdata));
    }
};

// Grey and grey with alpha spread over B, G and R.
cv::Mat colour_from_grey(const decoders::Decoded& decoded)
{
    const bool alpha = decoded.channels == 2;
    cv::Mat colour(decoded.height, decoded.width, alpha ? CV_8UC4 : CV_8UC3);
    const std::size_t pixels = static_cast<std::size_t>(decoded.width) * decoded.height;
    std::uint8_t* out = colour.data;
    for (std::size_t i = 0; i < pixels; ++i) {
        const std::uint8_t grey = decoded.pixels8[i * decoded.channels];
        *out++ = grey;
        *out++ = grey;
        *out++ = grey;
        if (alpha)
            *out++ = decoded.pixels8[i * 2 + 1];
    }
    return colour;
}

// The samples as the picture's matrix: B G R (A) copied, 16-bit ones
// rounded on the way.
cv::Mat colour_of(decoders::Decoded& decoded)
{
    if (decoded.channels == 1 || decoded.channels == 2) {
        to_8bit(decoded);
        return colour_from_grey(decoded);
    }
    if (decoded.channels != 3 && decoded.channels != 4)
        throw ImageError("decoder handed on " + std::to_string(decoded.channels) + " channels");
    const int type = decoded.channels == 4 ? CV_8UC4 : CV_8UC3;
    if (decoded.bits == 16) {
        cv::Mat colour(decoded.height, decoded.width, type);
        round_samples(decoded.pixels16.data(), colour.data, decoded.pixels16.size());
        decoded.pixels16 = {};
        return colour;
    }
    return AdoptedPixels::adopt(std::move(decoded.pixels8), decoded.height, decoded.width, type);
}

void take_metadata(decoders::Decoded& decoded, Metadata& metadata)
{
    if (decoded.exif.size() <= k_max_exif_bytes)
        metadata.exif = std::move(decoded.exif);
    if (decoded.xmp.size() <= k_max_xmp_bytes)
        metadata.xmp = std::move(decoded.xmp);
    if (decoded.icc.size() <= k_max_icc_bytes)
        metadata.icc = std::move(decoded.icc);
    if (decoded.dpi_x > 0 && decoded.dpi_y > 0) {
        metadata.dpi_x = decoded.dpi_x;
        metadata.dpi_y = decoded.dpi_y;
    }
}

// The picture's matrix, through the colour conversion where the colours'
// description is not kept. A kept description only rounds 16-bit samples
// (colour_of does that as it copies).
cv::Mat settle_colour(decoders::Decoded& decoded, Colour colour)
{
    if (profile_kept(decoded.icc, colour)) {
        if (decoded.icc.empty() && decoded.nclx)
            decoded.icc = icc_for_nclx(*decoded.nclx);
        return colour_of(decoded);
    }
    const int type = CV_MAKETYPE(decoded.bits == 16 ? CV_16U : CV_8U, decoded.channels);
    void* data = decoded.bits == 16 ? static_cast<void*>(decoded.pixels16.data())
                                    : static_cast<void*>(decoded.pixels8.data());
    const cv::Mat stored(decoded.height, decoded.width, type, data);
    const cv::Mat srgb = to_srgb8(stored, decoded.icc, decoded.nclx);
    decoded.icc.clear();
    decoded.nclx.reset();
    if (srgb.data == stored.data)
        return colour_of(decoded);
    decoded.pixels16 = {};
    if (decoded.channels >= 3)
        return srgb; // converted into a matrix of its own already
    decoded.pixels8.assign(srgb.datastart, srgb.dataend);
    decoded.bits = 8;
    return colour_from_grey(decoded);
}

Fault fault_of(decoders::Fault fault)
{
    return fault == decoders::Fault::TooLarge ? Fault::TooLarge : Fault::Data;
}

} // namespace

Picture picture_from_decoded(decoders::Decoded decoded, Orientation orientation, Metadata& metadata,
                             Colour colour)
{
    check_dimensions("decoded picture", decoded.width, decoded.height);
    const std::size_t samples =
        static_cast<std::size_t>(decoded.width) * decoded.height * decoded.channels;
    if ((decoded.bits == 16 ? decoded.pixels16.size() : decoded.pixels8.size()) != samples)
        throw ImageError("decoder handed on pixels of the wrong size");
    if (decoded.channels < 1 || decoded.channels > 4)
        throw ImageError("decoder handed on " + std::to_string(decoded.channels) + " channels");
    Picture picture;
    picture.colour = settle_colour(decoded, colour);
    decoded.pixels8 = {};
    decoded.pixels16 = {};
    // The decoder's orientation is the only one applied: the EXIF block it
    // hands on states the same one, or one the format overrides.
    if (orientation == Orientation::Apply) {
        const Upright upright = upright_for(decoded.orientation);
        picture.colour = make_upright(picture.colour, upright);
        metadata.sideways = upright.quarters % 2 != 0;
    }
    take_metadata(decoded, metadata);
    return picture;
}

Picture decode_further_format(std::span<const std::uint8_t> file, Orientation orientation,
                              Metadata& metadata, Colour colour)
{
    decoders::Decoded decoded;
    try {
        // A kept profile leaves the samples as they are, only rounded.
        decoded = decoders::decode(file, colour == Colour::KeepProfile ? decoders::Depth::Eight
                                                                       : decoders::Depth::AsStored);
    } catch (const decoders::DecodeError& error) {
        throw ImageError(error.what(), fault_of(error.fault()));
    }
    return picture_from_decoded(std::move(decoded), orientation, metadata, colour);
}

} // namespace imgctl
