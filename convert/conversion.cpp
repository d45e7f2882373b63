#include "convert/conversion.h"

#include "imagelib/imgctl.h"
#include "platform/file_ops.h"
#include "platform/path.h"
#include "platform/shown_text.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <memory>
#include <optional>
#include <stdexcept>
#include <utility>

namespace zumo {

namespace {

constexpr const char* k_confirm_caption = "確認";
constexpr const char* k_no_folder_question = "フォルダが指定されていません.処理を中断しますか?";
constexpr const char* k_cannot_process = "画像を処理できません";
constexpr const char* k_batch_question_tail = "個のファイルを処理します. よろしいですか?";
constexpr const char* k_progress_text = "変換中です";
constexpr const char* k_progress_caption = "Zumo変換";

// Thrown inside a conversion for a fault of our own making (an output folder
// that cannot be created, an output the write rule refuses); its text is
// the reason shown.
class ConversionError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// Owns one picture handle and releases it on every way out.
class DibHandle
{
public:
    explicit DibHandle(imgctl::HDIB dib) : m_dib(dib) {}
    DibHandle(const DibHandle&) = delete;
    DibHandle& operator=(const DibHandle&) = delete;
    ~DibHandle()
    {
        try {
            imgctl::DeleteDIB(m_dib);
        } catch (...) {
            // A release that fails leaves nothing we could still free.
        }
    }
    imgctl::HDIB get() const { return m_dib; }

private:
    imgctl::HDIB m_dib;
};

int clamped(int value, UpDownRange range)
{
    return std::clamp(value, range.min, range.max);
}

std::int32_t interlace_flag(const OptionSnapshot& options)
{
    return options.Interlaced ? -1 : 0;
}

// RadioGroup1 items, in the order of k_image_formats below.
constexpr int k_bmp_item = 0;
constexpr int k_gif_item = 2;

// Step 1: the EXIF orientation is applied at load, before the chosen turn,
// and the metadata is kept for the encoders, as the two options say. An
// output that will not carry the source's colour profile (BMP and GIF have
// no place for it; stripped metadata drops it) gets its pixels in sRGB, so
// that its colours look as the source's did.
imgctl::LoadOptions load_options(const OptionSnapshot& options)
{
    const bool keeps_profile = options.CheckBox10 && options.RadioGroup1 != k_bmp_item &&
                               options.RadioGroup1 != k_gif_item;
    return {options.CheckBox9 ? imgctl::Orientation::Apply : imgctl::Orientation::Ignore,
            options.CheckBox10 ? imgctl::MetadataUse::Keep : imgctl::MetadataUse::Strip,
            keeps_profile ? imgctl::Colour::KeepProfile : imgctl::Colour::ToSrgb};
}

// Step 2 of a picture conversion: always exactly one rotation, so a
// TurnAngle of 0 is passed on as well.
void rotate(imgctl::HDIB dib, const OptionSnapshot& options)
{
    if (options.CheckBox3)
        imgctl::TurnDIBex(dib, clamped(options.UpDown2, k_updown2_range) * 1000,
                          options.ColorGrid1);
    else
        imgctl::TurnDIB(dib, options.TurnAngle);
}

// Step 3: at most one resize, to a height; the width follows the aspect
// ratio whatever RadioGroup6 says.
void resize(imgctl::HDIB dib, const OptionSnapshot& options)
{
    constexpr int k_free_size_item = 6;
    if (options.RadioGroup5 == k_free_size_item) {
        imgctl::ResizeDIB(dib, -1, clamped(options.UpDown3, k_updown3_range));
        return;
    }
    if (!options.CheckBox7 || options.RadioGroup5 < 0 ||
        options.RadioGroup5 >= static_cast<int>(k_preset_heights.size()))
        return;
    imgctl::ResizeDIB(dib, -1, k_preset_heights[static_cast<std::size_t>(options.RadioGroup5)]);
}

// An image or GIF output format: its extension and how it is written.
struct OutputFormat
{
    const char* extension;
    void (*write)(const std::string& path, imgctl::HDIB dib, const OptionSnapshot& options);
};

void write_bmp(const std::string& path, imgctl::HDIB dib, const OptionSnapshot&)
{
    imgctl::DIBtoBMP(path.c_str(), dib);
}

void write_png(const std::string& path, imgctl::HDIB dib, const OptionSnapshot& options)
{
    imgctl::DIBtoPNG(path.c_str(), dib, interlace_flag(options));
}

void write_gif(const std::string& path, imgctl::HDIB dib, const OptionSnapshot& options)
{
    // Into the output folder the GIF is written from the unreduced picture
    // and the encoder reduces it itself.
    if (!options.CheckBox1)
        imgctl::DIBto8Bit(dib, 0, 0);
    imgctl::DIBtoGIF(path.c_str(), dib, interlace_flag(options));
}

void write_jpg(const std::string& path, imgctl::HDIB dib, const OptionSnapshot& options)
{
    imgctl::DIBtoJPG(path.c_str(), dib, clamped(options.UpDown1, k_updown1_range), 0);
}

// RadioGroup1 items "→BMP", "→PNG", "→GIF", "→JPG".
constexpr std::array<OutputFormat, 4> k_image_formats{{
    {".bmp", write_bmp},
    {".png", write_png},
    {".gif", write_gif},
    {".jpg", write_jpg},
}};

// RadioGroup2 items "→JPG", "→BMP", "→PNG".
constexpr std::array<OutputFormat, 3> k_gif_formats{{
    {".jpg", write_jpg},
    {".bmp", write_bmp},
    {".png", write_png},
}};

template <std::size_t N>
const OutputFormat* format_at(const std::array<OutputFormat, N>& formats, int index)
{
    if (index < 0 || index >= static_cast<int>(N))
        return nullptr;
    return &formats[static_cast<std::size_t>(index)];
}

// A folder the output path rule created for this file: removed again when
// the file fails and leaves it empty, so a failure leaves nothing behind.
class NewFolder
{
public:
    NewFolder() = default;
    NewFolder(const NewFolder&) = delete;
    NewFolder& operator=(const NewFolder&) = delete;
    ~NewFolder()
    {
        if (!m_path.empty())
            platform::remove_empty_folder(m_path);
    }
    void created(std::string path) { m_path = std::move(path); }
    bool made() const { return !m_path.empty(); }
    void keep() { m_path.clear(); }

private:
    std::string m_path;
};

// The output path rule carried out: the folder question asked, the output
// checked, the subfolder made. nullopt when the user chose to skip the file.
// turn (null when the file runs one at a time) orders these decisions
// after those of the files before it.
std::optional<std::string> output_path(const std::string& file_name, const std::string& extension,
                                       const OptionSnapshot& options, UserHost& host,
                                       const platform::FileView& view, NewFolder& new_folder,
                                       FileTurn* turn)
{
    if (turn)
        turn->Decide();
    const OutputPlan plan = PlanOutputPath(file_name, extension, options, platform::folder_exists);
    if (plan.asks_folder &&
        host.Ask(k_confirm_caption, k_no_folder_question, Buttons::YesNo) == Answer::Yes)
        return std::nullopt;
    if (turn)
        turn->Target(plan.path);
    if (const std::string why = ConversionOutputRefusal(view, plan); !why.empty())
        throw ConversionError(why);
    if (!plan.new_folder.empty()) {
        if (platform::create_folder(plan.new_folder))
            new_folder.created(plan.new_folder);
        else if (!platform::folder_exists(plan.new_folder)) // made by someone else meanwhile?
            throw ConversionError("出力先のフォルダ " + platform::shown_name(plan.new_folder) +
                                  " を作れません");
    }
    // A file that made a folder keeps its turn until it ends: should its
    // write fail, the folder goes again, and a later file must find it
    // gone as it would one at a time.
    if (turn && !new_folder.made())
        turn->Writing(plan.path);
    return plan.path;
}

// Everything between load and release; throws on any failure. run (may be
// null) is what the run shares; the output joins the files it made.
template <std::size_t N>
FileResult write_picture(imgctl::HDIB dib, const std::string& file_name,
                         const std::array<OutputFormat, N>& formats, int format_index,
                         const OptionSnapshot& options, UserHost& host, platform::RunFiles* run,
                         FileTurn* turn)
{
    // Damaged picture data shows here, before the folder question is asked
    // or a folder is made; also when nothing is to be written. A picture
    // that a reduction decoded already at a smaller scale stays as it is.
    imgctl::DecodeDIB(dib);
    const OutputFormat* format = format_at(formats, format_index);
    if (!format)
        return FileResult::Skipped;
    NewFolder new_folder;
    const std::optional<std::string> path = output_path(file_name, format->extension, options, host,
                                                        platform::DiskView(run), new_folder, turn);
    if (!path)
        return FileResult::Skipped;
    try {
        format->write(*path, dib, options);
    } catch (const imgctl::ImageError& e) {
        // The picture was decoded above: a data fault here is the encoder's.
        if (e.fault() == imgctl::Fault::Data)
            throw ConversionError(std::string("画像を書き出せません (") + e.what() + ")");
        throw;
    }
    new_folder.keep();
    if (run)
        run->AddMade(*path);
    return FileResult::Written;
}

// A short reason for a failure of the picture library.
std::string image_error_reason(const imgctl::ImageError& error)
{
    switch (error.fault()) {
    case imgctl::Fault::System:
        return platform::system_error_reason(error.error());
    case imgctl::Fault::TooLarge:
        return "画像が大きすぎます";
    case imgctl::Fault::NotPicture:
        return "画像ファイルではないか, 対応していない形式です";
    case imgctl::Fault::Data:
        break;
    }
    return "画像のデータが壊れています";
}

// The reason of the exception being handled.
std::string current_failure_reason()
{
    try {
        throw;
    } catch (const imgctl::ImageError& e) {
        return image_error_reason(e);
    } catch (const ConversionError& e) {
        return e.what();
    } catch (const std::bad_alloc&) {
        return platform::system_error_reason(ENOMEM);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "原因不明のエラーです";
    }
}

enum class Loader { AnyFormat, GifOnly };

// Why a loader returned 0.
std::string load_failure_reason(Loader loader)
{
    const std::optional<imgctl::ImageError> error = imgctl::LastLoadFailure();
    if (!error)
        return "画像を読めません";
    // The GIF conversion reads GIF files only, whatever else the file is.
    if (loader == Loader::GifOnly && error->fault() == imgctl::Fault::NotPicture)
        return "GIF ファイルではありません";
    return image_error_reason(*error);
}

} // namespace

OutputPlan PlanOutputPath(const std::string& file_name, const std::string& extension,
                          const OptionSnapshot& options,
                          const std::function<bool(const std::string&)>& folder_exists)
{
    OutputPlan plan;
    std::string path;
    if (options.CheckBox1) {
        if (options.Edit1.empty()) {
            // "いいえ" leaves no output folder. A bare file name would land
            // in whatever the working folder happens to be, so the picture
            // goes beside its input instead.
            plan.asks_folder = true;
            path = file_name;
        } else {
            // Edit1 is a plain prefix: it names a folder only when it ends
            // with a separator, which the folder button ensures.
            path = options.Edit1 + platform::file_name_part(file_name);
        }
    } else if (options.CheckBox6) {
        const std::string subfolder = platform::folder_part(file_name) + options.Edit7;
        if (subfolder.empty()) { // a bare input name and no subfolder name
            path = file_name;
        } else {
            if (!folder_exists(subfolder))
                plan.new_folder = subfolder;
            path = platform::include_trailing_separator(subfolder) +
                   platform::file_name_part(file_name);
        }
    } else {
        path = file_name;
    }
    plan.path = platform::change_extension(path, extension);
    return plan;
}

std::string ConversionInputRefusal(const platform::FileView& view, const std::string& file_name)
{
    std::string why = platform::input_refusal(view, file_name);
    if (why.empty())
        why = platform::read_refusal(view, file_name);
    return why;
}

std::string ConversionOutputRefusal(const platform::FileView& view, const OutputPlan& plan)
{
    std::string why = platform::name_refusal(plan.path);
    if (why.empty())
        why = platform::folder_refusal(view, platform::folder_part(plan.path), plan.new_folder);
    if (why.empty())
        why = platform::target_refusal(view, plan.path, platform::Replace::Allowed);
    return why;
}

const char* ImageOutputExtension(int radio_group1)
{
    const OutputFormat* format = format_at(k_image_formats, radio_group1);
    return format ? format->extension : nullptr;
}

const char* GifOutputExtension(int radio_group2)
{
    const OutputFormat* format = format_at(k_gif_formats, radio_group2);
    return format ? format->extension : nullptr;
}

std::string ExistingFolderPath(const std::string& path)
{
    return ExistingFolderPath(path, platform::native_path_style(), platform::folder_exists);
}

std::string ExistingFolderPath(const std::string& path, platform::PathStyle style,
                               const std::function<bool(const std::string&)>& folder_exists)
{
    if (path.empty() || !folder_exists(path))
        return {};
    return platform::include_trailing_separator(path, style);
}

namespace {

FileResult report_failure(UserHost& host, const std::string& file_name, const std::string& why)
{
    try {
        host.Beep();
        host.ShowFailure(file_name, k_cannot_process, why);
    } catch (...) {
        // Reporting must not turn a failed file into a failed batch.
    }
    return FileResult::Failed;
}

// The memory the loaded picture will take; nothing when its size cannot be
// told yet (the steps that follow report such a picture).
std::uint64_t loaded_need(imgctl::HDIB dib)
{
    try {
        const imgctl::DIBInfo info = imgctl::GetDIBInfo(dib);
        return picture_need(info.width, info.height);
    } catch (...) {
        return 0;
    }
}

} // namespace

FileResult ConvertFile(ConversionKind kind, const std::string& file_name,
                       const OptionSnapshot& options, UserHost& host, platform::RunFiles* run,
                       FileTurn* turn, std::string* why)
{
    const auto fail = [&](std::string reason) {
        if (why)
            *why = reason;
        return report_failure(host, file_name, reason);
    };
    try {
        if (std::string refusal = ConversionInputRefusal(platform::DiskView(run), file_name);
            !refusal.empty())
            return fail(std::move(refusal));
        const bool gif = kind == ConversionKind::Gif;
        const imgctl::HDIB loaded = gif ? imgctl::GIFtoDIB(file_name.c_str())
                                        : imgctl::ToDIBex(file_name.c_str(), load_options(options));
        if (loaded == 0)
            return fail(load_failure_reason(gif ? Loader::GifOnly : Loader::AnyFormat));
        const DibHandle dib(loaded);
        if (turn)
            turn->Reserve(loaded_need(dib.get()));
        if (gif) // no rotation, resize or reduction for GIF input
            return write_picture(dib.get(), file_name, k_gif_formats, options.RadioGroup2, options,
                                 host, run, turn);
        rotate(dib.get(), options);
        resize(dib.get(), options);
        return write_picture(dib.get(), file_name, k_image_formats, options.RadioGroup1, options,
                             host, run, turn);
    } catch (...) {
        // Library errors, memory exhaustion, an output that cannot be
        // written: the file fails, the caller goes on. The picture has been
        // released by now.
        return fail(current_failure_reason());
    }
}

int BatchJobs(const OptionSnapshot& options, int jobs_override)
{
    if (jobs_override > 0)
        return jobs_override;
    return options.CheckBox11 ? default_jobs() : 1;
}

ConversionEngine::ConversionEngine(OptionSource& options, UserHost& host)
    : m_options(options), m_host(host)
{
}

FileResult ConversionEngine::convert(ConversionKind kind, const std::string& file_name,
                                     platform::RunFiles* run)
{
    OptionSnapshot options;
    try {
        options = m_options.Options();
    } catch (...) {
        m_last_failure = current_failure_reason();
        return report_failure(m_host, file_name, m_last_failure);
    }
    return ConvertFile(kind, file_name, options, m_host, run, nullptr, &m_last_failure);
}

FileResult ConversionEngine::ConvertImageFile(const std::string& file_name, platform::RunFiles* run)
{
    return convert(ConversionKind::Image, file_name, run);
}

FileResult ConversionEngine::ConvertGifFile(const std::string& file_name, platform::RunFiles* run)
{
    return convert(ConversionKind::Gif, file_name, run);
}

void ConversionEngine::ConvertFileList(const std::vector<std::string>& files)
{
    run_file_list(files, ConversionKind::Image);
}

void ConversionEngine::ConvertGifFileList(const std::vector<std::string>& files)
{
    run_file_list(files, ConversionKind::Gif);
}

void ConversionEngine::ConvertCheckedImages(const CheckListSource& list,
                                            const std::function<std::string()>& listing_folder)
{
    run_check_list(list, listing_folder, ConversionKind::Image);
}

void ConversionEngine::ConvertCheckedGifs(const CheckListSource& list,
                                          const std::function<std::string()>& listing_folder)
{
    run_check_list(list, listing_folder, ConversionKind::Gif);
}

BatchFile ConversionEngine::file_job(ConversionKind kind, const std::string& path,
                                     platform::RunFiles& run)
{
    BatchFile job;
    // An input that was not there when the run began may be an earlier
    // file's output: it is read only once every earlier file has ended.
    job.alone = !run.Pending(path);
    job.take_turn = [&run, path] { run.TakeTurn(path); };
    // The options as they stand when the file starts.
    std::shared_ptr<const OptionSnapshot> options;
    try {
        options = std::make_shared<const OptionSnapshot>(m_options.Options());
    } catch (...) {
        const std::string why = current_failure_reason();
        job.work = [path, why](UserHost& host, FileTurn*) { report_failure(host, path, why); };
        return job;
    }
    job.work = [kind, path, options, &run](UserHost& host, FileTurn* turn) {
        ConvertFile(kind, path, *options, host, &run, turn, nullptr);
    };
    return job;
}

namespace {

// The open-dialog drivers' step after file i of count: the bar, then
// false after the dialog's キャンセル, else the window's pending messages.
std::function<bool(int)> progress_step(ProgressDialog& progress, UserHost& host, int count)
{
    return [&progress, &host, count](int i) {
        progress.SetProgress(k_progress_text, count - 1, i);
        if (progress.Cancelled())
            return false;
        host.ProcessMessages();
        return true;
    };
}

} // namespace

void ConversionEngine::run_file_list(const std::vector<std::string>& files, ConversionKind kind)
{
    // Our own copy: a nested run started from the window while this one
    // processes messages may replace the list the caller handed in.
    const std::vector<std::string> entries = files;
    const int count = static_cast<int>(entries.size());
    const Answer answer = m_host.Ask(
        k_confirm_caption, std::to_string(count) + k_batch_question_tail, Buttons::OkCancel);
    if (answer == Answer::Ok) {
        const std::unique_ptr<ProgressDialog> progress = m_host.ShowProgress(k_progress_text);
        progress->SetCaption(k_progress_caption);
        progress->SetSmooth(true);
        platform::RunFiles run;
        for (const std::string& entry : entries)
            run.AddPending(entry);
        BatchPool pool(m_host, BatchJobs(m_options.Options(), m_jobs_override));
        pool.on_finished = progress_step(*progress, m_host, count);
        for (int i = 0; i < count && pool.WaitForRoom(); ++i)
            pool.Start(file_job(kind, entries[static_cast<std::size_t>(i)], run));
        pool.Finish();
        if (pool.Stopped())
            return;
    }
    EndSignal(m_host, m_options.Options());
}

void ConversionEngine::run_check_list(const CheckListSource& list,
                                      const std::function<std::string()>& listing_folder,
                                      ConversionKind kind)
{
    // N is fixed at the start; the window may refill the list meanwhile, so
    // an index beyond its new end is treated as an unticked line.
    const int count = list.Count();
    {
        const std::unique_ptr<ProgressDialog> progress = m_host.ShowProgress(k_progress_text);
        progress->SetCaption(k_progress_caption);
        platform::RunFiles run;
        bool registered = false;
        BatchPool pool(m_host, BatchJobs(m_options.Options(), m_jobs_override));
        pool.on_finished = progress_step(*progress, m_host, count);
        for (int i = 0; i < count && pool.WaitForRoom(); ++i) {
            BatchFile job;
            job.work = [](UserHost&, FileTurn*) {}; // unticked: only the progress step
            if (i < list.Count() && list.Checked(i)) {
                // The listing's folder is read afresh for every entry. When it
                // cannot be resolved the entry is skipped: a bare name would
                // convert a file of that name in the working folder.
                const std::string folder = ExistingFolderPath(listing_folder());
                if (!folder.empty()) {
                    if (!std::exchange(registered, true))
                        register_ticked(list, i, folder, run);
                    job = file_job(kind, folder + list.Text(i), run);
                }
            }
            pool.Start(std::move(job));
        }
        pool.Finish();
        if (pool.Stopped())
            return;
    }
    EndSignal(m_host, m_options.Options());
}

void register_ticked(const CheckListSource& list, int from, const std::string& folder,
                     platform::RunFiles& run)
{
    for (int i = from; i < list.Count(); ++i) {
        if (list.Checked(i))
            run.AddPending(folder + list.Text(i));
    }
}

void EndSignal(UserHost& host, const OptionSnapshot& options)
{
    if (options.RadioGroup9 == 0)
        host.Beep();
}

} // namespace zumo
