// Dynamic libraries by path: loading, exact entry names, full path.
#include "platform/dynlib.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <dlfcn.h>
#include <filesystem>
#include <fstream>

namespace platform {
namespace {

TEST(DynLib, LoadsASystemLibraryAndFindsEntriesByExactName)
{
    // The C maths library, wherever this system keeps it.
    Dl_info where{};
    double (*cosine)(double) = &std::cos;
    ASSERT_NE(::dladdr(reinterpret_cast<void*>(cosine), &where), 0);
    LibraryHandle library = load_library(where.dli_fname);
    ASSERT_NE(library, nullptr);
    EXPECT_NE(library_symbol(library, "cos"), nullptr);
    EXPECT_EQ(library_symbol(library, "COS"), nullptr);
    EXPECT_EQ(library_symbol(library, "no_such_entry"), nullptr);
    EXPECT_EQ(library_file_name(library), where.dli_fname);
    free_library(library);
}

TEST(DynLib, FilesThatAreNoLibraryGiveNull)
{
    auto path = std::filesystem::temp_directory_path() / "zumo-dynlib-not-a-library.spi";
    std::ofstream(path) << "plain text";
    EXPECT_EQ(load_library(path.string()), nullptr);
    std::filesystem::remove(path);
    EXPECT_EQ(load_library("/nonexistent/lib.spi"), nullptr);
    EXPECT_EQ(load_library(""), nullptr);
    // A bare name means the current folder, not the loader's search path.
    EXPECT_EQ(load_library("libm.so.6"), nullptr);
    EXPECT_EQ(library_symbol(nullptr, "cos"), nullptr);
    EXPECT_EQ(library_file_name(nullptr), "");
    free_library(nullptr);
}

} // namespace
} // namespace platform
