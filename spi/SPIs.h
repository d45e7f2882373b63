// The Susie plug-in host: plug-in modules and the plug-in collection.
//
// A module (TSPI and its subclasses) is one loaded plug-in library with its
// entry points bound and its self-description read; the class is chosen by
// the API version the library reports (OpenSPI). TSPIs holds the modules of
// the program, finds plug-in files in the usual places and registers the
// extensions of import plug-ins as picture formats of TPicture.
//
// Errors are Exceptions of the classes below, with the host's Japanese
// messages.
#pragma once

#include "graphics/graphic.h"
#include "platform/dynlib.h"
#include "spi/host/spi_protocol.h"
#include "spi/spi_library.h"
#include "spi/susie_plugin.h"

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace zumo {

// "%s:Susie Pluginがロードできませんでした" (the path given).
class ESPIFOpenErrorSPI : public Exception
{
public:
    using Exception::Exception;
};
// "%sは[%s]では使えないSusie Plugin APIです" (entry point, module path).
class ESPIInvalidAPI : public Exception
{
public:
    using Exception::Exception;
};
// Never raised by the host; OpenSPI treats it as "no usable plug-in".
class ESPIInvalidSPI : public Exception
{
public:
    ESPIInvalidSPI() : Exception("") {}
    using Exception::Exception;
};
// "TSPIs は複数生成できません".
class ESPIDupCreateSPIs : public Exception
{
public:
    ESPIDupCreateSPIs();
};

class TSPI;

// A class reference for modules: builds a module of its class and tells
// whether a module is an instance of it (subclasses included).
struct TSPIClassInfo
{
    const char* name;
    std::unique_ptr<TSPI> (*create)(const std::string& path);
    bool (*is_instance)(const TSPI& spi);
};
using TSPIClass = const TSPIClassInfo*;

template <class T> TSPIClass SPIClassOf();

// Threads: the preview decodes on a worker while the window's thread may
// use the host too. A module takes one call at a time (a call from another
// thread waits for the one under way; a call made from within a call on
// the same thread, by a progress handler, goes on and finds a helper busy).
// The collection's list is guarded; a module is removed or the collection
// destroyed only while no load uses it (the window waits for its preview
// before the plug-ins go).
class TSPI
{
protected:
    struct Token
    {
        explicit Token() = default;
    };

public:
    static const char* ClassName() { return "TSPI"; }

    // Builds a module of class T from the library at path: loads it, binds
    // the entry points, checks those the class requires and reads the
    // plug-in information. Throws ESPIFOpenErrorSPI when the library cannot
    // be loaded and ESPIInvalidAPI when a required entry point is missing.
    template <class T> static std::unique_ptr<T> Create(const std::string& path)
    {
        auto spi = std::make_unique<T>(Token{});
        spi->Construct(path);
        return spi;
    }

    explicit TSPI(Token) {}
    TSPI(const TSPI&) = delete;
    TSPI& operator=(const TSPI&) = delete;
    // Releases this module's reference to the library.
    virtual ~TSPI();

    // Throws ESPIInvalidAPI naming the first required entry point missing.
    virtual void CheckAPI() const;
    // Whether modules of this class do work for the host.
    virtual bool QueryUsable() const { return false; }

    // The library handle when the plug-in runs in this process; null when
    // a helper process serves it.
    platform::LibraryHandle Handle() const { return m_library ? m_library->Handle() : nullptr; }
    const std::string& FileName() const { return m_file_name; }
    const std::string& APIVersion() const { return m_api_version; }
    const std::string& PluginTitle() const { return m_plugin_title; }
    const std::vector<std::string>& Filters() const { return m_filters; }
    const std::vector<std::string>& FilterDescriptions() const { return m_filter_descriptions; }
    bool Usable() const { return m_usable; }
    // Calls that failed because the plug-in crashed, hung or answered
    // garbage (see SPILibrary::FailedCalls).
    int FailedCalls() const;

    // Guarded call: ESPIInvalidAPI when the entry point is missing.
    int GetPluginInfo(int number, char* buffer, int length) const;

    // Plug-ins answering every information number stop being read here.
    static constexpr int k_max_pattern_pairs = 256;

protected:
    [[noreturn]] void RaiseInvalidAPI(const char* entry) const;
    // Whether the library exports the entry point.
    bool Has(spihost::EntryBit entry) const { return (m_entries & entry) != 0; }
    // Throws ESPIInvalidAPI naming the entry point when it is missing.
    void Require(spihost::EntryBit entry) const;
    SPILibrary& Library() const { return *m_library; }
    // Held over each call into Library().
    std::recursive_mutex& Calls() const { return m_calls; }

private:
    void Construct(const std::string& path);
    bool ReadInfo(int number, std::string& text) const;

    std::unique_ptr<SPILibrary> m_library;
    // Held over every call into the library.
    mutable std::recursive_mutex m_calls;
    std::uint32_t m_entries = 0;
    std::string m_file_name;
    std::string m_api_version;
    std::string m_plugin_title;
    std::vector<std::string> m_filters;
    std::vector<std::string> m_filter_descriptions;
    bool m_usable = false;
};

class TLoaderSPI : public TSPI
{
public:
    static const char* ClassName() { return "TLoaderSPI"; }
    using TSPI::TSPI;
    void CheckAPI() const override;
    // Non-zero when the plug-in takes the data; head holds at least 2,048
    // bytes of its start.
    int IsSupported(const char* name, const void* head) const;
};

// "00IN": an import filter (picture decoder).
class TInSPI : public TLoaderSPI
{
public:
    static const char* ClassName() { return "TInSPI"; }
    using TLoaderSPI::TLoaderSPI;
    void CheckAPI() const override;
    bool QueryUsable() const override { return true; }

    int GetPictureInfo(const char* source, susie_intptr length, unsigned int flag,
                       SusiePictureInfo* info) const;
    int GetPicture(const char* source, susie_intptr length, unsigned int flag, susie_handle* info,
                   susie_handle* bits, SusieProgressCallback callback, susie_intptr data) const;
    int GetPreview(const char* source, susie_intptr length, unsigned int flag, susie_handle* info,
                   susie_handle* bits, SusieProgressCallback callback, susie_intptr data) const;
};

// "00AM": an archive plug-in. Held, never called for archive work.
class TAmSPI : public TLoaderSPI
{
public:
    static const char* ClassName() { return "TAmSPI"; }
    using TLoaderSPI::TLoaderSPI;
    void CheckAPI() const override;
    bool QueryUsable() const override { return true; }
};

// "00XN".
class TXnSPI : public TSPI
{
public:
    static const char* ClassName() { return "TXnSPI"; }
    using TSPI::TSPI;
};

template <class T> TSPIClass SPIClassOf()
{
    static const TSPIClassInfo info{
        T::ClassName(),
        [](const std::string& path) -> std::unique_ptr<TSPI> { return TSPI::Create<T>(path); },
        [](const TSPI& spi) { return dynamic_cast<const T*>(&spi) != nullptr; }};
    return &info;
}

// Opens the library at path as a module of the class its API version names
// ("00IN", "00AM", "00XN", compared exactly; anything else a plain TSPI).
// Null when the file cannot be loaded as a library. ESPIInvalidAPI (no
// GetPluginInfo, or an entry point the version requires is missing) leaves
// to the caller.
std::unique_ptr<TSPI> OpenSPI(const std::string& path);

// Places searched for a mask without a folder.
enum TSPISearchOption : std::uint8_t {
    spsSusieDir = 1,   // $SUSIE_PLUGIN_PATH on POSIX, the registry on Windows
    spsAppDir = 2,     // the folder of the running executable
    spsCurrentDir = 4, // the process's current folder
    spsSystemDir = 8,  // Windows only
    spsWindowsDir = 16 // Windows only
};

class TSPISearchOptions
{
public:
    constexpr TSPISearchOptions() = default;
    constexpr TSPISearchOptions(std::initializer_list<TSPISearchOption> options)
    {
        for (TSPISearchOption option : options)
            m_bits = static_cast<std::uint8_t>(m_bits | option);
    }
    constexpr bool Contains(TSPISearchOption option) const { return (m_bits & option) != 0; }
    // The stored byte.
    constexpr std::uint8_t Bits() const { return m_bits; }
    constexpr bool operator==(const TSPISearchOptions&) const = default;

private:
    std::uint8_t m_bits = 0;
};

class TSPIs;

using TSPISearchEvent = std::function<void(TSPIs& sender, TSPI& spi, bool& accept)>;
using TSPISearchingEvent =
    std::function<void(TSPIs& sender, const std::string& file_name, bool& accept)>;
using TSPIPictureRegisterEvent =
    std::function<void(TSPIs& sender, TInSPI& spi, const std::string& extension,
                       const std::string& description, TGraphicClass& graphic_class)>;

// The plug-in collection. Only one may exist at a time (SPIsInstance).
//
// Set-up as a form would do it:
//     auto spis = std::make_unique<TSPIs>();       // registers the instance
//     spis->GraphicPreview = false;                // stored properties ...
//     spis->Loaded();                              // ... then the automatic
//                                                  // search of "*.spi", "*.sph"
//     spis->SearchSPI(folder + "/*");              // any further folder
class TSPIs
{
public:
    // Throws ESPIDupCreateSPIs when another collection exists.
    TSPIs();
    TSPIs(const TSPIs&) = delete;
    TSPIs& operator=(const TSPIs&) = delete;
    // Destroys every module (releasing the libraries); registrations made
    // with TPicture stay.
    ~TSPIs();

    // The after-load notification: searches "*.spi", then "*.sph" (64-bit
    // Windows plug-ins), when AutoSearch.
    void Loaded();

    int Count() const;
    // Throws std::out_of_range outside 0..Count-1.
    TSPI* Items(int index) const;
    // Takes ownership; registers the picture formats of an import module.
    // When the registration throws, the module is removed and destroyed
    // again and the exception continues.
    void Add(std::unique_ptr<TSPI> spi);
    void Insert(int index, std::unique_ptr<TSPI> spi);
    // Destroys the module; its registered formats stay registered.
    void Delete(int index);
    void Clear();
    // First module whose FileName equals file_name regardless of ASCII case;
    // -1 when none.
    int IndexOf(const std::string& file_name) const;
    // Appends the modules that are instances of any of the classes: those
    // claiming the extension of file_name first (the last loaded at the
    // front), then the others in load order.
    void FindSPIs(std::initializer_list<TSPIClass> classes, const std::string& file_name,
                  std::vector<TSPI*>& list) const;
    // With a folder in the mask, searches only that folder; otherwise the
    // places of SearchOptions in their fixed order.
    void SearchSPI(const std::string& mask);
    void SearchSPIFolder(const std::string& folder, const std::string& mask);

    static void SetGraphicClass(TGraphicClass graphic_class);
    static TGraphicClass GraphicClass();

    // Stored properties.
    bool MacBinary = true;
    bool GraphicPreview = false;
    bool AutoSearch = true;
    TSPISearchOptions SearchOptions{spsSusieDir, spsAppDir};
    TSPISearchEvent OnSearch;
    TSPISearchingEvent OnSearching;
    TSPIPictureRegisterEvent OnPictureRegister;

private:
    void RegisterFormats(TSPI& spi);

    mutable std::mutex m_list_lock; // over m_list, never over a call out
    std::vector<std::unique_ptr<TSPI>> m_list;
};

// The live collection, or null.
TSPIs* SPIsInstance();

// The folder of the running executable, with a trailing separator.
std::string ProgramFolder();

} // namespace zumo
