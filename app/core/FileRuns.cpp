#include "app/core/FileRuns.h"

#include <array>
#include <string_view>

namespace zumo {

namespace {

struct TypedExtension
{
    std::string_view extension;
    int type;
};

constexpr std::array<TypedExtension, 12> k_extensions{{
    {".jpg", 0},
    {".jpeg", 0},
    {".bmp", 1},
    {".png", 2},
    {".gif", 3},
    {".webp", k_file_type_further},
    {".tif", k_file_type_further},
    {".tiff", k_file_type_further},
    {".heic", k_file_type_further},
    {".heif", k_file_type_further},
    {".avif", k_file_type_further},
    {".jxl", k_file_type_further},
}};

} // namespace

int ImageFileType(const std::string& path, platform::PathStyle style)
{
    const std::string extension = platform::extension_part(path, style);
    for (const TypedExtension& e : k_extensions) {
        if (platform::equal_ignoring_ascii_case(extension, e.extension))
            return e.type;
    }
    return k_file_type_other;
}

std::optional<FileOutcome> hand_to_drop_mode(FileProcessor& files, int drop_mode,
                                             const std::string& path)
{
    switch (drop_mode) {
    case 0:
        return files.ConvertImageFile(path);
    case 1:
        return files.ConvertGifFile(path);
    case k_drop_mode_rename:
        return files.FormFileRe(path);
    default:
        return std::nullopt;
    }
}

void register_inputs(const RunContext& ctx, const std::vector<std::string>& paths)
{
    if (platform::RunFiles* run = ctx.files.Run()) {
        for (const std::string& path : paths)
            run->AddPending(path);
    }
}

void turn_comes(const RunContext& ctx, const std::string& path)
{
    if (platform::RunFiles* run = ctx.files.Run())
        run->TakeTurn(path);
}

std::optional<FileOutcome> run_one_file(const RunContext& ctx, int drop_mode,
                                        const std::string& path, RunSummary& summary)
{
    turn_comes(ctx, path);
    if (ctx.observer)
        ctx.observer->FileStarted(path);
    const std::optional<FileOutcome> outcome = hand_to_drop_mode(ctx.files, drop_mode, path);
    if (outcome == FileOutcome::Done)
        ++summary.done;
    else
        ++summary.unprocessed;
    if (ctx.observer) {
        if (outcome == FileOutcome::Failed) {
            if (const std::string reason = ctx.files.SilentFailure(); !reason.empty())
                ctx.observer->FileFailedSilently(path, reason);
        }
        ctx.observer->FileFinished(path, outcome);
    }
    return outcome;
}

void GiveEndSignal(UserHost& host, const OptionSnapshot& options)
{
    if (options.RadioGroup9 == 0)
        host.Beep();
}

} // namespace zumo
