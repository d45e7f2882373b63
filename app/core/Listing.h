// The folder listing and the preview of the tab "画像参照変換": Button6Click
// and Button7Click list a chosen folder's pictures (FindFile1: JPEG, BMP,
// PNG) or GIF files (FindFile2) into CheckListBox1; CheckListBox1Click
// (also for CheckListBox2) shows the selected line's picture in Image1.
// The window supplies the controls, the folder dialog, the finder and the
// picture object; the order of the steps and the decisions live here.
#pragma once

#include "convert/user_host.h"
#include "graphics/exceptions.h"

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace zumo {

// ---- listing ----------------------------------------------------------------

enum class ListingKind {
    Pictures, // Button6, FindFile1
    Gifs,     // Button7, FindFile2
};

// FindFile1: "*.jpeg", "*.jpg", "*.bmp", "*.png" and the further formats the
// picture library reads (WebP, TIFF, HEIF/AVIF, JPEG XL); FindFile2: "*.gif". Both
// search the chosen folder only, not its subfolders.
const std::vector<std::string>& listing_masks(ListingKind kind);

// Label8 after a listing: the count in decimal followed by " Files.".
std::string FileCountLabel(int count);

class ListingWindow
{
public:
    virtual ~ListingWindow() = default;
    virtual void ClearList() = 0;                            // empties CheckListBox1
    virtual void AddLine(const std::string& bare_name) = 0;  // a new unchecked line
    virtual void SetCountLabel(const std::string& text) = 0; // Label8
    // FolderDlg2: the chosen folder, or nothing when the user cancels.
    virtual std::optional<std::string> ChooseFolder() = 0;
};

// Runs the finder on folder (not its subfolders) with masks and calls found
// with each matching file's bare name, in the order the finder meets them.
// An empty folder finds nothing.
using FolderSearch =
    std::function<void(const std::string& folder, const std::vector<std::string>& masks,
                       const std::function<void(const std::string&)>& found)>;

// Button6Click / Button7Click. Empties the list and sets found_count
// (TForm1::FoundCount) to 0; when the dialog is cancelled stops there (Label8
// keeps its text). Otherwise appends one line per file found, unsorted,
// counting in found_count as it goes, and sets Label8. Returns the count,
// or nothing when cancelled.
std::optional<int> ListFolder(ListingKind kind, ListingWindow& window, const FolderSearch& search,
                              int& found_count);

// ---- preview ----------------------------------------------------------------

// Panel1 is 242 x 182 (Image1 fills it inside a one-pixel border: 240 x 180).
inline constexpr int k_panel1_width = 242;
inline constexpr int k_panel1_height = 182;

// Image1 scales the picture to 240 x 180 only when it is at least as wide
// and as high as Panel1; otherwise it is drawn at its own size from the
// top-left corner and cut off at the edges. An empty picture is 0 x 0.
inline bool PreviewStretch(int width, int height)
{
    return width >= k_panel1_width && height >= k_panel1_height;
}

// The lines of CheckListBox1 as the preview sees them.
class PreviewList
{
public:
    virtual ~PreviewList() = default;
    virtual int Count() const = 0;
    virtual bool Selected(int index) const = 0;
    virtual std::string Text(int index) const = 0; // a bare file name
};

// A copy of the lines, taken where the list lives, for a preview worked out
// on another thread. Only the selected lines' texts are kept (the preview
// reads no other): a long listing costs a flag per line.
class PreviewLines : public PreviewList
{
public:
    explicit PreviewLines(const PreviewList& source);

    int Count() const override { return static_cast<int>(m_texts.size()); }
    bool Selected(int index) const override { return m_selected[static_cast<std::size_t>(index)]; }
    std::string Text(int index) const override { return m_texts[static_cast<std::size_t>(index)]; }

private:
    std::vector<std::string> m_texts;
    std::vector<bool> m_selected;
};

// What a click on the list comes to: the picture Image1 takes (when shown)
// and the message that follows it (when a line failed).
template <class Rendered> struct PreviewOutcome
{
    bool shown = false;
    Rendered rendered{};
    bool stretch = false;
    std::optional<std::string> message;
    bool cancelled = false; // given up: nothing of it is shown
};

// The work of CheckListBox1Click over the framework's picture object
// Picture (TPicture: default-constructible, LoadFromFile(path) throwing on
// failure, Width(), Height()), without touching Image1 or the host, so
// that it can run away from the window. folder is ExistingFolderPath of
// FolderDlg2's folder (with its separator; empty when it cannot be
// resolved); render(picture, stretch) turns the picture object into what
// Image1 shows (decoding it, and throwing when that fails). prepare, when
// set, gets the new picture object before any line loads (the window
// hooks the object's progress to the cancellation); cancelled, when set,
// is asked before each load and each render: true gives the work up.
//
// For each line: a selected line loads its file, then Image1 shows the
// picture object as it stands (empty until a selected line loaded). So a
// selected line ends in Image1; lines without a selection empty it; an
// empty list changes nothing. A load failure gives its message and ends
// the preview there (Image1 keeps what the lines before made it); an
// EAbort is silent. When the folder cannot be resolved the line is not
// loaded at all: a bare name would load a file of that name from the
// working folder.
//
// Only the last showing stays visible, so the picture is rendered once
// when a line has loaded it and shown once, after the last line or before
// the message of a failing one: the cost does not grow with the lines.
template <class Picture, class Rendered>
PreviewOutcome<Rendered>
RenderPreview(const PreviewList& list, const std::string& folder,
              const std::function<Rendered(const Picture&, bool stretch)>& render,
              const std::function<void(Picture&)>& prepare = {},
              const std::function<bool()>& cancelled = {})
{
    PreviewOutcome<Rendered> outcome;
    const auto given_up = [&] {
        outcome.cancelled = cancelled && cancelled();
        return outcome.cancelled;
    };
    Picture picture;
    if (prepare)
        prepare(picture);
    bool stretch = PreviewStretch(picture.Width(), picture.Height());
    Rendered rendered = render(picture, stretch);
    bool shown = false; // a line has shown the picture object
    const auto ended = [&](std::optional<std::string> message) {
        outcome.shown = shown;
        outcome.rendered = std::move(rendered);
        outcome.stretch = stretch;
        outcome.message = std::move(message);
        return std::move(outcome);
    };
    const int count = list.Count();
    for (int i = 0; i < count; ++i) {
        if (list.Selected(i) && !folder.empty()) {
            if (given_up())
                return outcome;
            try {
                picture.LoadFromFile(folder + list.Text(i));
                const bool loaded_stretch = PreviewStretch(picture.Width(), picture.Height());
                if (given_up())
                    return outcome;
                rendered = render(picture, loaded_stretch);
                stretch = loaded_stretch;
            } catch (const EAbort&) {
                if (given_up())
                    return outcome;
                return ended(std::nullopt);
            } catch (const std::exception& e) {
                if (given_up())
                    return outcome;
                return ended(std::string(e.what()));
            }
        }
        shown = true;
    }
    return ended(std::nullopt);
}

// The outcome as the user sees it: Image1 takes the picture, then the
// message is shown.
template <class Rendered>
void ShowPreview(const PreviewOutcome<Rendered>& outcome,
                 const std::function<void(const Rendered&, bool stretch)>& show, UserHost& host)
{
    if (outcome.cancelled)
        return;
    if (outcome.shown)
        show(outcome.rendered, outcome.stretch);
    if (outcome.message)
        host.ShowMessage(*outcome.message);
}

// CheckListBox1Click in one go, on the calling thread: preview_on is
// CheckBox5 (unchecked: the preview keeps what it showed); show(rendered,
// stretch) sets Image1's stretching and picture; a message goes through
// host.
template <class Picture, class Rendered>
void CheckListBox1Click(const PreviewList& list, bool preview_on, const std::string& folder,
                        const std::function<Rendered(const Picture&, bool stretch)>& render,
                        const std::function<void(const Rendered&, bool stretch)>& show,
                        UserHost& host)
{
    if (!preview_on)
        return;
    ShowPreview(RenderPreview<Picture, Rendered>(list, folder, render), show, host);
}

} // namespace zumo
