#include "app/core/Listing.h"

#include <algorithm>

namespace zumo {

const std::vector<std::string>& listing_masks(ListingKind kind)
{
    static const std::vector<std::string> pictures{"*.jpeg", "*.jpg",  "*.bmp",  "*.png",
                                                   "*.webp", "*.tif",  "*.tiff", "*.heic",
                                                   "*.heif", "*.avif", "*.jxl"};
    static const std::vector<std::string> gifs{"*.gif"};
    return kind == ListingKind::Pictures ? pictures : gifs;
}

std::string FileCountLabel(int count)
{
    return std::to_string(count) + " Files.";
}

std::optional<int> ListFolder(ListingKind kind, ListingWindow& window, const FolderSearch& search,
                              int& found_count)
{
    window.ClearList();
    found_count = 0;
    const std::optional<std::string> folder = window.ChooseFolder();
    if (!folder)
        return std::nullopt;
    // FindFile1Find: one unchecked line per file, counted as it comes; the
    // window processes messages meanwhile, so the list grows visibly.
    search(*folder, listing_masks(kind), [&](const std::string& name) {
        window.AddLine(name);
        ++found_count;
    });
    window.SetCountLabel(FileCountLabel(found_count));
    return found_count;
}

PreviewLines::PreviewLines(const PreviewList& source)
{
    const int count = source.Count();
    m_texts.reserve(static_cast<std::size_t>(std::max(count, 0)));
    m_selected.reserve(static_cast<std::size_t>(std::max(count, 0)));
    for (int i = 0; i < count; ++i) {
        const bool selected = source.Selected(i);
        m_selected.push_back(selected);
        m_texts.push_back(selected ? source.Text(i) : std::string());
    }
}

} // namespace zumo
