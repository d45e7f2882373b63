#include "platform/write_rule.h"

#include "platform/path.h"
#include "platform/shown_text.h"

#include <climits>
#include <sys/stat.h>

#ifndef _WIN32
#include <unistd.h>
#endif

namespace platform {

namespace {

std::string without_separator(std::string folder)
{
    if (folder.size() > 1 && ends_with_separator(folder))
        folder.pop_back();
    return folder;
}

std::string shown(const std::string& folder)
{
    return folder.empty() ? std::string(".") : folder;
}

// A path inside a reason, rendered for showing.
std::string named(const std::string& path)
{
    return shown_name(shown(path));
}

} // namespace

FileKind file_kind(const std::string& path)
{
    struct stat st = {};
    if (path.empty() || ::stat(path.c_str(), &st) != 0)
        return FileKind::None;
    if (S_ISREG(st.st_mode))
        return FileKind::File;
    if (S_ISDIR(st.st_mode))
        return FileKind::Folder;
#ifndef _WIN32
    if (S_ISFIFO(st.st_mode))
        return FileKind::Pipe;
    if (S_ISSOCK(st.st_mode))
        return FileKind::Socket;
    if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode))
        return FileKind::Device;
#endif
    return FileKind::Other;
}

// ---- RunFiles ---------------------------------------------------------------

void RunFiles::AddPending(const std::string& path)
{
    if (const auto id = file_id(path)) {
        const std::lock_guard lock(m_mutex);
        ++m_pending[*id];
    }
}

void RunFiles::TakeTurn(const std::string& path)
{
    const auto id = file_id(path);
    if (!id)
        return;
    const std::lock_guard lock(m_mutex);
    const auto it = m_pending.find(*id);
    if (it != m_pending.end() && --it->second == 0)
        m_pending.erase(it);
}

bool RunFiles::Pending(const std::string& path) const
{
    const auto id = file_id(path);
    const std::lock_guard lock(m_mutex);
    return id && m_pending.contains(*id);
}

void RunFiles::AddMade(const std::string& path)
{
    if (const auto id = file_id(path)) {
        const std::lock_guard lock(m_mutex);
        m_made.insert(*id);
    }
}

bool RunFiles::Made(const std::string& path) const
{
    const auto id = file_id(path);
    const std::lock_guard lock(m_mutex);
    return id && m_made.contains(*id);
}

// ---- DiskView ---------------------------------------------------------------

bool DiskView::NonFolderExists(const std::string& path) const
{
    return non_folder_exists(path);
}

bool DiskView::ReadOnly(const std::string& path) const
{
    return file_is_read_only(path);
}

bool DiskView::SameFile(const std::string& a, const std::string& b) const
{
    return same_file(a, b);
}

bool DiskView::MadeByRun(const std::string& path) const
{
    return m_run && m_run->Made(path);
}

bool DiskView::PendingInput(const std::string& path) const
{
    return m_run && m_run->Pending(path);
}

bool DiskView::MayRead(const std::string& path) const
{
#ifdef _WIN32
    (void)path;
    return true;
#else
    return ::access(path.c_str(), R_OK) == 0;
#endif
}

bool DiskView::MayWriteInto(const std::string& folder) const
{
#ifdef _WIN32
    (void)folder;
    return true;
#else
    return ::access(shown(folder).c_str(), W_OK | X_OK) == 0;
#endif
}

// ---- the checks ---------------------------------------------------------------

std::string input_refusal(const FileView& view, const std::string& path)
{
    switch (view.Kind(path)) {
    case FileKind::File:
        return {};
    case FileKind::None:
        return "ファイルがありません";
    case FileKind::Folder:
        return "フォルダです (ファイルではありません)";
    case FileKind::Pipe:
        return "名前付きパイプです (ファイルではありません)";
    case FileKind::Socket:
        return "ソケットです (ファイルではありません)";
    case FileKind::Device:
        return "デバイスです (ファイルではありません)";
    case FileKind::Other:
        break;
    }
    return "通常のファイルではありません";
}

std::string read_refusal(const FileView& view, const std::string& path)
{
    return view.MayRead(path) ? std::string() : "読み取りが許可されていません";
}

std::string move_refusal(const FileView& view, const std::string& path)
{
    const std::string folder = folder_part(path);
    return view.MayWriteInto(folder)
               ? std::string()
               : named(folder) + " から移動できません (書き込みが許可されていません)";
}

std::string name_refusal(const std::string& path)
{
    if (file_name_part(path).size() > NAME_MAX)
        return "名前が長すぎます (" + std::to_string(NAME_MAX) + " バイトを超えています)";
    if (path.size() >= PATH_MAX)
        return "パスが長すぎます (" + std::to_string(PATH_MAX - 1) + " バイトを超えています)";
    return {};
}

std::string folder_refusal(const FileView& view, const std::string& folder,
                           const std::string& new_folder)
{
    const std::string bare = without_separator(folder);
    if (!new_folder.empty() && bare == without_separator(new_folder)) {
        if (view.NonFolderExists(bare))
            return "フォルダ " + named(bare) + " を作れません: 同じ名前のファイルがあります";
        const std::string parent = folder_part(bare);
        if (!view.FolderExists(shown(parent)) || !view.MayWriteInto(parent))
            return "フォルダ " + named(bare) + " を作れません";
        return {};
    }
    if (!view.FolderExists(shown(bare)))
        return "フォルダ " + named(bare) + " がありません";
    return view.MayWriteInto(folder) ? std::string()
                                     : "フォルダ " + named(bare) + " に書き込めません";
}

std::string target_refusal(const FileView& view, const std::string& target, Replace replace)
{
    if (view.FolderExists(target))
        return named(target) + " はフォルダです";
    // Two inputs that map to one output (a.jpg and a.gif to PNG) would
    // otherwise leave one file where two went in.
    if (view.MadeByRun(target))
        return named(target) + " はこの処理で先に作ったファイルです";
    // An output over an input that is still to come would destroy it
    // before it is read (a.png and a.bmp to BMP).
    if (view.PendingInput(target))
        return named(target) + " はこの処理でこれから読む入力ファイルです";
    if (view.NonFolderExists(target)) {
        if (replace == Replace::Never)
            return named(target) + " があり, 上書きしない設定です";
        // As Windows refuses to replace a read-only file, also for root.
        if (view.ReadOnly(target))
            return named(target) + " は読み取り専用です";
    }
    return {};
}

} // namespace platform
