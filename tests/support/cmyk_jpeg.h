// CMYK JPEGs for tests: a CMYK printer profile made with LittleCMS, and
// files written by libjpeg with or without Adobe's marker (which states the
// inks inverted) and the profile.
#pragma once

#include <jpeglib.h>
#include <lcms2.h>
#include <stdio.h> // before jpeglib.h, which needs FILE

#include <array>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

// The colour a profile-less reader would make of inks c, m, y, k (0..1) is
// (1 - c)(1 - k) and so on; this press prints differently: its inks are
// stronger in the mid-tones (a power of 1.6 on the light left) and its cyan
// muddies the green. A conversion that ignores the profile lands far off.
inline std::array<double, 3> press_rgb(const double ink[4])
{
    const double k = 1 - ink[3];
    const double r = std::pow((1 - ink[0]) * k, 1.6);
    const double g = std::pow((1 - ink[1]) * (1 - 0.3 * ink[0]) * k, 1.6);
    const double b = std::pow((1 - ink[2]) * k, 1.6);
    return {r, g, b};
}

// Version 2 CMYK output profile holding only A2B0, a 9-point grid from
// CMYK to CIELAB of press_rgb read as sRGB.
inline std::vector<std::uint8_t> cmyk_press_profile()
{
    cmsHPROFILE srgb = cmsCreate_sRGBProfile();
    cmsHPROFILE lab = cmsCreateLab2Profile(nullptr);
    cmsHTRANSFORM to_lab = cmsCreateTransform(srgb, TYPE_RGB_DBL, lab, TYPE_Lab_DBL,
                                              INTENT_RELATIVE_COLORIMETRIC, cmsFLAGS_NOOPTIMIZE);
    cmsHPROFILE press = cmsCreateProfilePlaceholder(nullptr);
    cmsSetProfileVersion(press, 2.1);
    cmsSetDeviceClass(press, cmsSigOutputClass);
    cmsSetColorSpace(press, cmsSigCmykData);
    cmsSetPCS(press, cmsSigLabData);
    cmsPipeline* pipeline = cmsPipelineAlloc(nullptr, 4, 3);
    cmsStage* grid = cmsStageAllocCLut16bit(nullptr, 9, 4, 3, nullptr);
    cmsStageSampleCLut16bit(
        grid,
        [](const cmsUInt16Number in[], cmsUInt16Number out[], void* transform) -> cmsInt32Number {
            const double ink[4] = {in[0] / 65535.0, in[1] / 65535.0, in[2] / 65535.0,
                                   in[3] / 65535.0};
            const std::array<double, 3> rgb = press_rgb(ink);
            cmsCIELab colour;
            cmsDoTransform(transform, rgb.data(), &colour, 1);
            cmsFloat2LabEncodedV2(out, &colour);
            return 1;
        },
        to_lab, 0);
    cmsPipelineInsertStage(pipeline, cmsAT_BEGIN, grid);
    cmsWriteTag(press, cmsSigAToB0Tag, pipeline);
    cmsWriteTag(press, cmsSigMediaWhitePointTag, cmsD50_XYZ());
    cmsPipelineFree(pipeline);
    cmsUInt32Number size = 0;
    cmsSaveProfileToMem(press, nullptr, &size);
    std::vector<std::uint8_t> icc(size);
    cmsSaveProfileToMem(press, icc.data(), &size);
    cmsCloseProfile(press);
    cmsDeleteTransform(to_lab);
    cmsCloseProfile(lab);
    cmsCloseProfile(srgb);
    return icc;
}

// Inks as stored: C M Y K per pixel, 0 no ink unless `adobe`, which writes
// Adobe's marker and expects the samples inverted (0 full ink).
inline void write_cmyk_jpeg(const std::string& path, const std::vector<std::uint8_t>& cmyk,
                            int width, int height, bool adobe, const std::vector<std::uint8_t>& icc)
{
    jpeg_compress_struct info{};
    jpeg_error_mgr errors{};
    info.err = jpeg_std_error(&errors);
    jpeg_create_compress(&info);
    FILE* file = fopen(path.c_str(), "wb");
    jpeg_stdio_dest(&info, file);
    info.image_width = static_cast<JDIMENSION>(width);
    info.image_height = static_cast<JDIMENSION>(height);
    info.input_components = 4;
    info.in_color_space = JCS_CMYK;
    jpeg_set_defaults(&info);
    info.write_Adobe_marker = adobe ? TRUE : FALSE;
    jpeg_set_quality(&info, 100, TRUE);
    jpeg_start_compress(&info, TRUE);
    if (!icc.empty())
        jpeg_write_icc_profile(&info, icc.data(), static_cast<unsigned>(icc.size()));
    for (int y = 0; y < height; ++y) {
        JSAMPROW row = const_cast<std::uint8_t*>(cmyk.data() + std::size_t(y) * width * 4);
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    fclose(file);
}

} // namespace testsupport
