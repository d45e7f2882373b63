// What the engine asks of the user interface. The Qt window implements it
// with real dialogs; tests script the answers and record every call, since
// beeps and messages are part of what the program visibly does.
#pragma once

#include "platform/shown_text.h"

#include <memory>
#include <string>

namespace zumo {

// "<text>: <file name>: <reason>", the name rendered for showing (its bytes
// need not be UTF-8), ": <reason>" left out when there is none. (Inline, as
// the whole interface: the hosts of app/core link no engine.)
inline std::string FailureMessage(const std::string& text, const std::string& file_name,
                                  const std::string& reason)
{
    std::string message = text + ": " + platform::shown_name(file_name);
    if (!reason.empty())
        message += ": " + reason;
    return message;
}

enum class Buttons { YesNo, OkCancel };
enum class Answer { Yes, No, Ok, Cancel };

// A shown progress dialog (TFormStrProgress). Destroying the object releases
// the dialog: drivers hold it in a unique_ptr so every way out releases it.
class ProgressDialog
{
public:
    virtual ~ProgressDialog() = default;
    virtual void SetCaption(const std::string& caption) = 0;
    // Continuous bar instead of the default segmented one.
    virtual void SetSmooth(bool smooth) = 0;
    // Label1 = text; bar = progress_percent(max, position); repaints at once,
    // then processes pending messages so a click on キャンセル is delivered.
    virtual void SetProgress(const std::string& text, int max, int position) = 0;
    virtual bool Cancelled() const = 0;
};

class UserHost
{
public:
    virtual ~UserHost() = default;
    // Modal confirmation box: caption, question icon, the given buttons.
    // Closing the box without a button answers No or Cancel.
    virtual Answer Ask(const std::string& caption, const std::string& text, Buttons buttons) = 0;
    // Plain modal message box.
    virtual void ShowMessage(const std::string& text) = 0;
    // A file that could not be processed: text is the documented message,
    // reason says why (may be empty). Shown by default as one message box
    // with FailureMessage's text.
    virtual void ShowFailure(const std::string& file_name, const std::string& text,
                             const std::string& reason)
    {
        ShowMessage(FailureMessage(text, file_name, reason));
    }
    // The system's default beep.
    virtual void Beep() = 0;
    // Creates and shows the modeless progress dialog with Label1 = text and
    // the bar at 0.
    virtual std::unique_ptr<ProgressDialog> ShowProgress(const std::string& text) = 0;
    // Lets the window handle its pending messages (clicks, drops, repaints).
    virtual void ProcessMessages() = 0;
    // The driver of a batch waits for its worker threads: the window may
    // repaint and handle its events meanwhile. Nothing to do by default.
    virtual void Idle() {}
    // Whether a batch runs its files on a worker thread even one at a time,
    // so that this host's thread (a window's) goes on answering meanwhile.
    // Otherwise a batch of one job runs its files on the calling thread.
    virtual bool RunsBatchesAside() const { return false; }
};

// SetProgress's bar value: position / max * 100 in floating point, rounded
// to nearest with halves to even; max 0 counts as position 1 of max 1.
int progress_percent(int max, int position);

} // namespace zumo
