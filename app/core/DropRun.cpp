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
        for (int i = 0; i < n; ++i) {
            dialog->SetProgress(k_progress_text, n - 1, i);
            if (ctx.stop_requested && ctx.stop_requested()) {
                summary.end = RunEnd::Interrupted;
                break;
            }
            if (dialog->Cancelled()) {
                summary.end = RunEnd::Cancelled;
                break;
            }
            ctx.host.ProcessMessages();
            const std::string& path = files[static_cast<std::size_t>(i)];
            const int drop_mode = ctx.options.Options().RadioGroup10;
            if (drop_mode == 0 && ImageFileType(path) == k_file_type_other) {
                turn_comes(ctx, path);
                continue; // not a picture: skipped silently, as the rule says
            }
            const auto outcome = run_one_file(ctx, drop_mode, path, summary);
            if (drop_mode == k_drop_mode_rename && outcome != FileOutcome::Done)
                not_renamed.push_back(path);
        }
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
