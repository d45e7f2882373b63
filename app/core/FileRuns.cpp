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

namespace zumo {

namespace {

// One file of run_files, as the driver's thread keeps it.
struct RunFile
{
    int drop_mode = -1;
    bool handed = false;
    bool announced = false;
    bool pooled = false; // a conversion job: the pool's worker stores its outcome
    FileOutcome stored = FileOutcome::Failed;
    std::string stored_failure;
    std::optional<FileOutcome> outcome;
    std::string silent_failure;
};

} // namespace

int run_files(const RunContext& ctx, const std::vector<std::string>& paths, RunSummary& summary,
              const std::function<bool(int k)>& before,
              const std::function<FileHandling(int k, int drop_mode)>& handling,
              const std::function<void(int k, int drop_mode, std::optional<FileOutcome>)>& handed)
{
    const int n = static_cast<int>(paths.size());
    std::vector<RunFile> files(paths.size()); // never reallocated: workers hold pointers
    BatchPool pool(ctx.host, n > 1 ? ctx.files.Jobs() : 1);
    int approved = 0; // files whose step before them has passed
    int started = 0;

    // The observer hears of file k once the files before it have ended and
    // its own step has passed, before any message of its own.
    const auto announce = [&](int k) {
        RunFile& file = files[static_cast<std::size_t>(k)];
        if (file.handed && !file.announced && approved > k && started > k) {
            file.announced = true;
            if (ctx.observer)
                ctx.observer->FileStarted(paths[static_cast<std::size_t>(k)]);
        }
    };
    const auto approve = [&](int k) {
        if (!before(k))
            return false;
        approved = k + 1;
        announce(k);
        return true;
    };
    const auto finish = [&](int k) {
        RunFile& file = files[static_cast<std::size_t>(k)];
        if (!file.handed)
            return;
        if (file.pooled) {
            file.outcome = file.stored;
            ctx.files.JobFinished(file.stored_failure);
        }
        if (file.outcome == FileOutcome::Done)
            ++summary.done;
        else
            ++summary.unprocessed;
        const std::string& path = paths[static_cast<std::size_t>(k)];
        if (ctx.observer) {
            if (file.outcome == FileOutcome::Failed && !file.silent_failure.empty())
                ctx.observer->FileFailedSilently(path, file.silent_failure);
            ctx.observer->FileFinished(path, file.outcome);
        }
        handed(k, file.drop_mode, file.outcome);
    };
    pool.on_finished = [&](int k) {
        finish(k);
        return k + 1 >= n || approve(k + 1);
    };

    int stop_at = -1;
    if (n > 0 && approve(0)) {
        for (int k = 0; k < n && pool.WaitForRoom(); ++k) {
            const std::string& path = paths[static_cast<std::size_t>(k)];
            // Read afresh: a change of the drop mode applies from the next file.
            const int drop_mode = ctx.options.Options().RadioGroup10;
            const FileHandling what = handling(k, drop_mode);
            if (what == FileHandling::StopRun) {
                stop_at = k;
                break;
            }
            BatchFile job;
            job.take_turn = [&ctx, &path] { turn_comes(ctx, path); };
            job.work = [](UserHost&, FileTurn*) {};
            if (what == FileHandling::Hand) {
                RunFile& file = files[static_cast<std::size_t>(k)];
                file.handed = true;
                file.drop_mode = drop_mode;
                std::optional<BatchFile> conversion;
                if (drop_mode == 0 || drop_mode == 1)
                    conversion = ctx.files.ConversionJob(drop_mode, path, &file.stored,
                                                         &file.stored_failure);
                if (conversion) {
                    file.pooled = true;
                    conversion->take_turn = std::move(job.take_turn);
                    job = std::move(*conversion);
                } else {
                    // Renames, and processors that run one file at a time.
                    job.alone = true;
                    job.work = [&ctx, &file, drop_mode, &path](UserHost&, FileTurn*) {
                        file.outcome = hand_to_drop_mode(ctx.files, drop_mode, path);
                        if (file.outcome == FileOutcome::Failed)
                            file.silent_failure = ctx.files.SilentFailure();
                    };
                }
            }
            started = k + 1;
            announce(k);
            pool.Start(std::move(job));
        }
    }
    pool.Finish();
    return stop_at;
}

} // namespace zumo
