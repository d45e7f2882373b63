# The fuzz targets of the plug-in host, the shipped plug-ins, ToDIB and GIFtoDIB,
# defined once for the two builds that use them: the libFuzzer build
# (fuzz/CMakeLists.txt) and the replay of the kept inputs in the test build
# (tests/fuzz/CMakeLists.txt). The including folder defines
#   zumo_fuzz_entry(name SOURCES ... LIBS ... [DEFINES ...] [DEPENDS ...])
# and sets ZUMO_FUZZ_LIB_SUFFIX ("_fuzz" picks the instrumented copies) and
# ZUMO_FUZZ_RAW_SPI (the target of the raw test plug-in the host target loads).
find_package(PkgConfig REQUIRED)
find_package(GIF REQUIRED)
find_package(ZLIB REQUIRED)
pkg_check_modules(ZUMO_FUZZ_PNG REQUIRED IMPORTED_TARGET libpng)

set(zumo_fuzz_kit ${PROJECT_SOURCE_DIR}/plugins/common/plugin_kit.cpp)
set(zumo_fuzz_plugin ${PROJECT_SOURCE_DIR}/fuzz/fuzz_plugin.cpp)

zumo_fuzz_entry(fuzz_spi_host
  SOURCES ${PROJECT_SOURCE_DIR}/fuzz/fuzz_spi_host.cpp
  LIBS zumo_spi${ZUMO_FUZZ_LIB_SUFFIX}
  DEFINES ZUMO_RAW_SPI="$<TARGET_FILE:${ZUMO_FUZZ_RAW_SPI}>"
  DEPENDS ${ZUMO_FUZZ_RAW_SPI})
set(zumo_fuzz_libs_png PkgConfig::ZUMO_FUZZ_PNG ZLIB::ZLIB)
set(zumo_fuzz_libs_gif GIF::GIF)
# The WebP and TIFF plug-ins wrap the decoders library.
set(zumo_fuzz_libs_webp zumo_decoders${ZUMO_FUZZ_LIB_SUFFIX})
set(zumo_fuzz_libs_tiff zumo_decoders${ZUMO_FUZZ_LIB_SUFFIX})
set(zumo_fuzz_sources_webp ${PROJECT_SOURCE_DIR}/plugins/common/decoded_plugin.cpp)
set(zumo_fuzz_sources_tiff ${PROJECT_SOURCE_DIR}/plugins/common/decoded_plugin.cpp)
foreach(format png gif webp tiff)
  zumo_fuzz_entry(fuzz_spi_${format}
    SOURCES ${zumo_fuzz_plugin} ${zumo_fuzz_kit} ${PROJECT_SOURCE_DIR}/plugins/${format}/${format}_spi.cpp
            ${zumo_fuzz_sources_${format}}
    LIBS ${zumo_fuzz_libs_${format}})
endforeach()
# The decoders library's decoders, one target each.
foreach(format WebP Tiff Heif Jxl)
  string(TOLOWER ${format} name)
  zumo_fuzz_entry(fuzz_${name}_decoder
    SOURCES ${PROJECT_SOURCE_DIR}/fuzz/fuzz_decoder.cpp
    LIBS zumo_decoders${ZUMO_FUZZ_LIB_SUFFIX}
    DEFINES ZUMO_FUZZ_FORMAT=${format})
endforeach()
foreach(loader todib gif_to_dib)
  zumo_fuzz_entry(fuzz_${loader}
    SOURCES ${PROJECT_SOURCE_DIR}/fuzz/fuzz_${loader}.cpp
    LIBS zumo_imagelib${ZUMO_FUZZ_LIB_SUFFIX})
endforeach()

# The INI reader and writer, and the path pieces in both styles. The
# platform units are compiled into the targets, so that the libFuzzer build
# instruments them.
set(zumo_fuzz_platform ${PROJECT_SOURCE_DIR}/platform)
zumo_fuzz_entry(fuzz_ini
  SOURCES ${PROJECT_SOURCE_DIR}/fuzz/fuzz_ini.cpp ${zumo_fuzz_platform}/ini.cpp
          ${zumo_fuzz_platform}/file_ops.cpp ${zumo_fuzz_platform}/path.cpp)
zumo_fuzz_entry(fuzz_paths
  SOURCES ${PROJECT_SOURCE_DIR}/fuzz/fuzz_paths.cpp ${zumo_fuzz_platform}/path.cpp)
