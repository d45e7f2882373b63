// Colour management on LittleCMS 2 over plain interleaved buffers, without
// OpenCV or Qt, so that the picture library and the shipped preview
// plug-ins convert a picture's colours with the very same code: pixels
// described by an ICC profile or by H.273 code points go to sRGB for
// outputs that cannot carry the description (BMP, GIF, any output without
// metadata) and for every preview.
//
// The conversion is relative colorimetric with black point compensation:
// the source's white becomes sRGB white, its black sRGB black, and colours
// outside sRGB are clipped. What a description needs (profile, transforms,
// tables) is built once and shared by every thread.
#pragma once

#include "imagelib/decoders/decoders.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace decoders {

// Larger profiles are no profile a camera or an editor writes; they are
// not parsed.
inline constexpr std::size_t k_max_profile_bytes = 4u << 20;

// The colours a profile describes. None: absent or does not parse.
enum class ProfileSpace { None, Rgb, Grey, Cmyk, Other };
ProfileSpace profile_space(std::span<const std::uint8_t> icc);

// An ICC profile for H.273 code points, for an output that keeps the
// picture's colours as they are and carries their description along; empty
// for code points that SrgbConverter leaves unconverted (sRGB itself, PQ,
// HLG, unknown ones).
std::vector<std::uint8_t> icc_for_nclx(const Nclx& nclx);

struct Conversion; // a description's conversion, cached

// Grey, grey + alpha, BGR or BGRA samples (1 to 4 channels, straight
// alpha) of 8 or 16 bits (the full 0..65535 range) to 8-bit sRGB with the
// same channels. Alpha passes through, 16-bit alpha rounded to 8 bits;
// 16-bit samples go through the conversion at full precision and are
// rounded to 8 bits once, at the end.
//
// The ICC profile wins over `nclx` when it parses. Nothing is converted
// when neither describes colours other than sRGB, or the profile does not
// parse, is neither RGB nor grey, or does not fit the samples (a grey
// profile fits 1 to 4 channels: a grey picture may have been expanded to
// BGR; an RGB profile fits 3 or 4): then convert() only rounds 16 bits to 8.
class SrgbConverter
{
public:
    SrgbConverter(std::span<const std::uint8_t> icc, const std::optional<Nclx>& nclx, int channels,
                  int bits);

    // Whether the colours change, beyond rounding to 8 bits.
    bool converts() const { return m_step != Step::Round; }

    // `rows` rows of `width` pixels from `in` (rows `in_stride` bytes
    // apart) to `out` (8 bits, `out_stride` bytes apart). Several threads
    // may convert bands of one picture with one converter at once.
    void convert(const void* in, std::size_t in_stride, std::uint8_t* out, std::size_t out_stride,
                 int width, int rows) const;

private:
    enum class Step { Round, Grey, Shaper, Transform };
    Step m_step = Step::Round;
    int m_channels;
    int m_bits;
    std::shared_ptr<Conversion> m_conversion; // keeps what the pointers below name alive
    const std::vector<std::uint8_t>* m_grey_table = nullptr;
    const std::vector<float>* m_linear = nullptr; // three curves, by sample level
    const float* m_matrix = nullptr;              // 3 x 3, row-major
    void* m_transform = nullptr;
};

// CMYK as stored: plainly (0 is no ink) or inverted (0 is full ink), as
// Adobe's applications write CMYK JPEGs.
enum class Ink { Plain, Inverted };

// 8-bit CMYK through a CMYK profile to 8-bit sRGB BGR. converts() is false
// when the profile does not parse or is not a CMYK profile; the caller then
// turns the inks into colours by its own rule.
class CmykToSrgb
{
public:
    CmykToSrgb(std::span<const std::uint8_t> icc, Ink ink);

    bool converts() const { return m_transform != nullptr; }

    // One row of `width` pixels, C M Y K to B G R. Thread-safe.
    void convert(const std::uint8_t* cmyk, std::uint8_t* bgr, int width) const;

private:
    std::shared_ptr<Conversion> m_conversion;
    void* m_transform = nullptr;
};

// A decoded picture's samples as 8-bit sRGB by SrgbConverter (over a few
// threads for a large picture), and its colour description dropped: the
// pixels no longer need it. Samples that are not converted are rounded to 8
// bits; 8-bit ones are then left as they are.
void to_srgb8(Decoded& decoded);

} // namespace decoders
