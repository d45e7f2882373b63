// Shared fixture of the engine tests: a temporary folder with an "in"
// subfolder, a recording host, settable options, and a check that every
// picture handle is released.
#pragma once

#include "convert/conversion.h"
#include "fake_host.h"
#include "imagelib/imgctl.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

namespace zumo::test {

// The start of every failure message; the file's name and the reason follow.
inline const std::string k_cannot_process = "Message(画像を処理できません: ";
inline bool is_cannot_process(const std::string& event)
{
    return event.starts_with(k_cannot_process);
}
inline long cannot_process_count(const FakeHost& host)
{
    return std::count_if(host.events.begin(), host.events.end(), is_cannot_process);
}
inline const std::string k_folder_question =
    "Ask(確認|フォルダが指定されていません.処理を中断しますか?|YesNo)";

class ConversionTest : public ::testing::Test
{
protected:
    ConversionTest() { std::filesystem::create_directory(in_folder()); }
    void TearDown() override { EXPECT_EQ(imgctl::LiveDIBCount(), m_live_before); }

    std::string in_folder() const { return dir / "in"; }
    std::string in(const std::string& name) const { return join(in_folder(), name); }
    // A picture in the input folder.
    std::string make(const std::string& name, Format format = Format::Bmp, int width = 40,
                     int height = 20) const
    {
        write_picture(in(name), width, height, format);
        return in(name);
    }
    // Everything under the temporary folder apart from the inputs given.
    std::vector<std::string> outputs(const std::vector<std::string>& inputs = {}) const
    {
        std::vector<std::string> found;
        for (const std::string& name : files_under(dir.path()))
            if (std::find(inputs.begin(), inputs.end(), dir / name) == inputs.end())
                found.push_back(name);
        return found;
    }

    TempDir dir;
    FakeHost host;
    FakeOptions options;
    ConversionEngine engine{options, host};

private:
    std::size_t m_live_before = imgctl::LiveDIBCount();
};

} // namespace zumo::test
