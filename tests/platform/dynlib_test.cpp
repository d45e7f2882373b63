// Dynamic libraries by path: loading, exact entry names, full path.
#include "platform/dynlib.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

namespace platform {
namespace {

TEST(DynLib, LoadsASystemLibraryAndFindsEntriesByExactName)
{
    LibraryHandle library = load_library("/lib/x86_64-linux-gnu/libm.so.6");
    if (!library)
        library = load_library("/usr/lib/x86_64-linux-gnu/libm.so.6");
    ASSERT_NE(library, nullptr);
    EXPECT_NE(library_symbol(library, "cos"), nullptr);
    EXPECT_EQ(library_symbol(library, "COS"), nullptr);
    EXPECT_EQ(library_symbol(library, "no_such_entry"), nullptr);
    std::string name = library_file_name(library);
    EXPECT_EQ(name.front(), '/');
    EXPECT_NE(name.find("libm.so.6"), std::string::npos);
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
