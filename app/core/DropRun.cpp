#include "app/core/DropRun.h"

#include "rename/RenameMessages.h"

namespace zumo {

RunSummary WMDropFiles(const std::vector<std::string>& files, RunContext& ctx)
{
    RunSummary summary;
    summary.files = static_cast<int>(files.size());
    std::vector<std::string> not_renamed; // the conversions report their own failures
    register_inputs(ctx, files);
    {
        const auto dialog = ctx.host.ShowProgress(k_progress_text);
        dialog->SetCaption(k_progress_caption);
        const int n = summary.files;
        // The bar shows i of n - 1 before file i (from 0).
        const auto before = [&](int i) {
            dialog->SetProgress(k_progress_text, n - 1, i);
            if (ctx.stop_requested && ctx.stop_requested()) {
                summary.end = RunEnd::Interrupted;
                return false;
            }
            if (dialog->Cancelled()) {
                summary.end = RunEnd::Cancelled;
                return false;
            }
            ctx.host.ProcessMessages();
            return true;
        };
        const auto handling = [&](int i, int drop_mode) {
            // Not a picture in mode 0: skipped silently, as the rule says.
            const bool other =
                ImageFileType(files[static_cast<std::size_t>(i)]) == k_file_type_other;
            return drop_mode == 0 && other ? FileHandling::Pass : FileHandling::Hand;
        };
        const auto handed = [&](int i, int drop_mode, std::optional<FileOutcome> outcome) {
            if (drop_mode == k_drop_mode_rename && outcome != FileOutcome::Done)
                not_renamed.push_back(files[static_cast<std::size_t>(i)]);
        };
        run_files(ctx, files, summary, before, handling, handed);
    } // releases the dialog (and the drop data is the caller's vector)

    if (!not_renamed.empty())
        ctx.host.ShowMessage(RenameFailuresMessage(not_renamed));
    if (ctx.observer)
        ctx.observer->RunEnded(summary, {});
    if (summary.end == RunEnd::Completed)
        GiveEndSignal(ctx.host, ctx.options.Options());
    return summary;
}

} // namespace zumo
