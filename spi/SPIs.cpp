#include "spi/SPIs.h"

#include "graphics/picture.h"
#include "platform/path.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#ifdef _WIN32
#include <windows.h>
#else
#include <dirent.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace zumo {

// Defined with TSPIBitmap; referencing it links that unit in, whose start-up
// makes TSPIBitmap the class registered for import-plug-in extensions.
bool SPIBmpUnitLinked();

namespace {

std::atomic<TSPIs*> g_instance = nullptr;
std::atomic<TGraphicClass> g_graphic_class = nullptr;

bool equal_ignoring_ascii_case(const std::string& a, const std::string& b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               auto lower = [](char c) {
                   return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
               };
               return lower(x) == lower(y);
           });
}

std::string add_backslash(const std::string& folder)
{
    return folder.empty() ? folder : platform::include_trailing_separator(folder);
}

// The file names of plain, visible files in folder that match mask, in the
// order of their names (the order NTFS lists them in, so that the load
// order does not depend on the file system).
std::vector<std::string> list_files(const std::string& folder, const std::string& mask)
{
    std::vector<std::string> names;
#ifndef _WIN32
    std::string pattern = mask == "*.*" ? "*" : mask;
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.empty() ? "." : folder.c_str()),
                                            ::closedir);
    if (!dir)
        return names;
    while (dirent* entry = ::readdir(dir.get())) {
        std::string name = entry->d_name;
        // Names beginning with a dot are the hidden files of POSIX.
        if (name.empty() || name.front() == '.')
            continue;
        if (::fnmatch(pattern.c_str(), name.c_str(), FNM_CASEFOLD) != 0)
            continue;
        struct stat info
        {
        };
        if (::stat((folder + name).c_str(), &info) != 0 || !S_ISREG(info.st_mode))
            continue;
        names.push_back(name);
    }
    std::sort(names.begin(), names.end());
#endif
    return names;
}

// The extension of a filter line or file name: from its last "." on.
std::string last_extension(const std::string& text)
{
    std::size_t dot = text.rfind('.');
    return dot == std::string::npos ? std::string() : text.substr(dot);
}

} // namespace

ESPIDupCreateSPIs::ESPIDupCreateSPIs() : Exception("TSPIs は複数生成できません") {}

// ---- modules

TSPI::~TSPI() = default;

void TSPI::Construct(const std::string& path)
{
    m_library = OpenSPILibrary(path);
    if (!m_library)
        throw ESPIFOpenErrorSPI(path + ":Susie Pluginがロードできませんでした");
    const std::string& reported = m_library->FileName();
    m_file_name = reported.empty() ? path : reported;
    m_entries = m_library->Entries();

    CheckAPI();

    ReadInfo(SUSIE_INFO_API_VERSION, m_api_version);
    ReadInfo(SUSIE_INFO_TITLE, m_plugin_title);
    for (int pair = 0; pair < k_max_pattern_pairs; ++pair) {
        int n = SUSIE_INFO_FIRST_PATTERN + 2 * pair;
        std::string pattern, description;
        if (!ReadInfo(n, pattern) || !ReadInfo(n + 1, description))
            break;
        m_filters.push_back(std::move(pattern));
        m_filter_descriptions.push_back(std::move(description));
    }
    m_usable = QueryUsable();
    m_library->InformationRead();
}

bool TSPI::ReadInfo(int number, std::string& text) const
{
    char buffer[256] = {};
    if (GetPluginInfo(number, buffer, 255) <= 0)
        return false;
    text.assign(buffer, ::strnlen(buffer, 255));
    return true;
}

void TSPI::RaiseInvalidAPI(const char* entry) const
{
    throw ESPIInvalidAPI(std::string(entry) + "は[" + m_file_name +
                         "]では使えないSusie Plugin APIです");
}

void TSPI::Require(spihost::EntryBit entry) const
{
    if (Has(entry))
        return;
    for (const spihost::EntryName& name : spihost::k_entry_names)
        if (name.bit == entry)
            RaiseInvalidAPI(name.name);
}

void TSPI::CheckAPI() const
{
    Require(spihost::EntryGetPluginInfo);
}

int TSPI::FailedCalls() const
{
    const std::lock_guard calls(m_calls);
    return m_library ? m_library->FailedCalls() : 0;
}

int TSPI::GetPluginInfo(int number, char* buffer, int length) const
{
    Require(spihost::EntryGetPluginInfo);
    const std::lock_guard calls(m_calls);
    return m_library->GetPluginInfo(number, buffer, length);
}

void TLoaderSPI::CheckAPI() const
{
    TSPI::CheckAPI();
    Require(spihost::EntryIsSupported);
}

int TLoaderSPI::IsSupported(const char* name, const void* head) const
{
    Require(spihost::EntryIsSupported);
    const std::lock_guard calls(Calls());
    return Library().IsSupported(name, head);
}

void TInSPI::CheckAPI() const
{
    TLoaderSPI::CheckAPI();
    Require(spihost::EntryGetPictureInfo);
    Require(spihost::EntryGetPicture);
}

int TInSPI::GetPictureInfo(const char* source, susie_intptr length, unsigned int flag,
                           SusiePictureInfo* info) const
{
    Require(spihost::EntryGetPictureInfo);
    const std::lock_guard calls(Calls());
    return Library().GetPictureInfo(source, length, flag, info);
}

int TInSPI::GetPicture(const char* source, susie_intptr length, unsigned int flag,
                       susie_handle* info, susie_handle* bits, SusieProgressCallback callback,
                       susie_intptr data) const
{
    Require(spihost::EntryGetPicture);
    const std::lock_guard calls(Calls());
    return Library().GetPicture(spihost::PictureEntry::Picture, source, length, flag, info, bits,
                                callback, data);
}

int TInSPI::GetPreview(const char* source, susie_intptr length, unsigned int flag,
                       susie_handle* info, susie_handle* bits, SusieProgressCallback callback,
                       susie_intptr data) const
{
    Require(spihost::EntryGetPreview);
    const std::lock_guard calls(Calls());
    return Library().GetPicture(spihost::PictureEntry::Preview, source, length, flag, info, bits,
                                callback, data);
}

void TAmSPI::CheckAPI() const
{
    TLoaderSPI::CheckAPI();
    Require(spihost::EntryGetArchiveInfo);
    Require(spihost::EntryGetFileInfo);
    Require(spihost::EntryGetFile);
}

std::unique_ptr<TSPI> OpenSPI(const std::string& path)
{
    try {
        // The probe needs nothing but GetPluginInfo; it tells the class.
        std::unique_ptr<TSPI> probe = TSPI::Create<TSPI>(path);
        const std::string& version = probe->APIVersion();
        TSPIClass spi_class = version == "00IN"   ? SPIClassOf<TInSPI>()
                              : version == "00AM" ? SPIClassOf<TAmSPI>()
                              : version == "00XN" ? SPIClassOf<TXnSPI>()
                                                  : SPIClassOf<TSPI>();
        return spi_class->create(path);
    } catch (const ESPIFOpenErrorSPI&) {
        return nullptr;
    } catch (const ESPIInvalidSPI&) {
        return nullptr;
    }
}

// ---- collection

TSPIs* SPIsInstance()
{
    return g_instance;
}

TSPIs::TSPIs()
{
    (void)SPIBmpUnitLinked();
    TSPIs* none = nullptr;
    if (!g_instance.compare_exchange_strong(none, this))
        throw ESPIDupCreateSPIs();
}

TSPIs::~TSPIs()
{
    TSPIs* self = this;
    g_instance.compare_exchange_strong(self, nullptr);
    Clear();
}

int TSPIs::Count() const
{
    const std::lock_guard list(m_list_lock);
    return static_cast<int>(m_list.size());
}

void TSPIs::Loaded()
{
    // 64-bit Windows plug-ins are named "*.sph"; each place is searched for
    // the classic name first.
    if (AutoSearch) {
        SearchSPI("*.spi");
        SearchSPI("*.sph");
    }
}

TSPI* TSPIs::Items(int index) const
{
    const std::lock_guard list(m_list_lock);
    if (index < 0 || static_cast<std::size_t>(index) >= m_list.size())
        throw std::out_of_range("List index out of bounds (" + std::to_string(index) + ")");
    return m_list[static_cast<std::size_t>(index)].get();
}

void TSPIs::Add(std::unique_ptr<TSPI> spi)
{
    Insert(Count(), std::move(spi));
}

void TSPIs::Insert(int index, std::unique_ptr<TSPI> spi)
{
    TSPI* inserted = spi.get();
    {
        const std::lock_guard list(m_list_lock);
        if (index < 0 || static_cast<std::size_t>(index) > m_list.size())
            throw std::out_of_range("List index out of bounds (" + std::to_string(index) + ")");
        if (!spi)
            return;
        m_list.insert(m_list.begin() + index, std::move(spi));
    }
    try {
        RegisterFormats(*inserted);
    } catch (...) {
        // A module whose formats could not be registered is not kept.
        std::unique_ptr<TSPI> removed;
        {
            const std::lock_guard list(m_list_lock);
            auto held =
                std::find_if(m_list.begin(), m_list.end(),
                             [&](const std::unique_ptr<TSPI>& h) { return h.get() == inserted; });
            if (held != m_list.end()) {
                removed = std::move(*held);
                m_list.erase(held);
            }
        }
        throw;
    }
}

void TSPIs::RegisterFormats(TSPI& spi)
{
    auto* in_spi = dynamic_cast<TInSPI*>(&spi);
    if (!in_spi)
        return;
    const std::vector<std::string>& filters = in_spi->Filters();
    const std::vector<std::string>& descriptions = in_spi->FilterDescriptions();
    for (std::size_t i = 0; i < filters.size(); ++i) {
        // Taken once per line: a handler's change carries over to the later
        // patterns of the same line.
        TGraphicClass graphic_class = g_graphic_class;
        std::size_t start = 0;
        while (start <= filters[i].size()) {
            std::size_t end = filters[i].find(';', start);
            if (end == std::string::npos)
                end = filters[i].size();
            std::string extension = filters[i].substr(start, end - start);
            start = end + 1;
            std::size_t dot = extension.find('.');
            if (dot != std::string::npos)
                extension.erase(0, dot + 1);
            if (extension.empty())
                continue; // "*.png;" leaves an empty piece that names nothing
            if (OnPictureRegister)
                OnPictureRegister(*this, *in_spi, extension, descriptions[i], graphic_class);
            if (graphic_class)
                TPicture::RegisterFileFormat(extension, descriptions[i], graphic_class);
        }
    }
}

void TSPIs::Delete(int index)
{
    std::unique_ptr<TSPI> removed;
    {
        const std::lock_guard list(m_list_lock);
        if (index < 0 || static_cast<std::size_t>(index) >= m_list.size())
            throw std::out_of_range("List index out of bounds (" + std::to_string(index) + ")");
        removed = std::move(m_list[static_cast<std::size_t>(index)]);
        m_list.erase(m_list.begin() + index);
    }
    // The module (and its helper) ends outside the lock.
}

void TSPIs::Clear()
{
    while (Count() > 0)
        Delete(0);
}

int TSPIs::IndexOf(const std::string& file_name) const
{
    const std::lock_guard list(m_list_lock);
    for (std::size_t i = 0; i < m_list.size(); ++i)
        if (equal_ignoring_ascii_case(m_list[i]->FileName(), file_name))
            return static_cast<int>(i);
    return -1;
}

void TSPIs::FindSPIs(std::initializer_list<TSPIClass> classes, const std::string& file_name,
                     std::vector<TSPI*>& list) const
{
    std::string extension = platform::extension_part(file_name);
    std::vector<TSPI*> claiming, others;
    const std::lock_guard held(m_list_lock);
    for (const std::unique_ptr<TSPI>& spi : m_list) {
        if (std::none_of(classes.begin(), classes.end(),
                         [&](TSPIClass spi_class) { return spi_class->is_instance(*spi); }))
            continue;
        bool claims =
            !extension.empty() &&
            std::any_of(spi->Filters().begin(), spi->Filters().end(), [&](const std::string& line) {
                return equal_ignoring_ascii_case(last_extension(line), extension);
            });
        (claims ? claiming : others).push_back(spi.get());
    }
    // Each claiming module goes to the front, so the last loaded leads.
    list.insert(list.begin(), claiming.rbegin(), claiming.rend());
    list.insert(list.end(), others.begin(), others.end());
}

void TSPIs::SearchSPI(const std::string& mask)
{
    std::string folder = platform::folder_part(mask);
    if (!folder.empty()) {
        SearchSPIFolder(add_backslash(folder), platform::file_name_part(mask));
        return;
    }
    if (SearchOptions.Contains(spsSusieDir)) {
        // The registry's Susie folder; on POSIX the environment holds it.
        const char* susie = std::getenv("SUSIE_PLUGIN_PATH");
        if (susie && *susie)
            SearchSPIFolder(add_backslash(susie), mask);
    }
    if (SearchOptions.Contains(spsAppDir))
        SearchSPIFolder(add_backslash(ProgramFolder()), mask);
    if (SearchOptions.Contains(spsCurrentDir)) {
        char cwd[4096];
        if (::getcwd(cwd, sizeof cwd))
            SearchSPIFolder(add_backslash(cwd), mask);
    }
    // The system and Windows folders exist on Windows only.
}

void TSPIs::SearchSPIFolder(const std::string& folder, const std::string& mask)
{
    std::vector<std::string> paths;
    for (const std::string& name : list_files(folder, mask)) {
        std::string path = folder + name;
        if (IndexOf(path) < 0)
            paths.push_back(std::move(path));
    }
    for (const std::string& path : paths) {
        bool accept = true;
        if (OnSearching)
            OnSearching(*this, path, accept);
        if (!accept)
            continue;
        std::unique_ptr<TSPI> spi = OpenSPI(path);
        if (!spi)
            continue;
        try {
            accept = true;
            if (OnSearch)
                OnSearch(*this, *spi, accept);
            if (accept)
                Add(std::move(spi)); // a failed Add removes the module again
        } catch (...) {
            // A plug-in rejected by a failing handler or registration is
            // dropped; the search goes on.
        }
    }
}

void TSPIs::SetGraphicClass(TGraphicClass graphic_class)
{
    g_graphic_class = graphic_class;
}

TGraphicClass TSPIs::GraphicClass()
{
    return g_graphic_class;
}

std::string ProgramFolder()
{
#ifdef _WIN32
    char buffer[MAX_PATH] = {};
    DWORD length = ::GetModuleFileNameA(nullptr, buffer, MAX_PATH);
    return platform::folder_part(std::string(buffer, length));
#else
    char buffer[4096];
    ssize_t length = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (length <= 0)
        return {};
    return platform::folder_part(std::string(buffer, static_cast<std::size_t>(length)));
#endif
}

} // namespace zumo
