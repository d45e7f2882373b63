// The plug-in library behind a module: loaded into this process, or served
// by a helper process of its own (the program's way: a plug-in that
// crashes or hangs then takes only its helper down).
//
// Served by a helper, a library starts its helper when it is opened,
// unless the plug-in information of that very file (path, size, time of
// last change) is already known from the information cache; then the
// helper starts at the first call that needs the plug-in. A helper that
// fails a call (crash, hang past the timeout, malformed answer) makes
// that call fail as a plug-in's error does: GetPluginInfo and IsSupported
// answer 0, GetPictureInfo and GetPicture a non-zero error; the next call
// starts a new helper. After k_max_helper_failures failed helpers the
// plug-in is no longer asked in this session. A failure while the library
// is loaded in its helper, or while its information is read, is kept in
// the information cache: later runs skip that file, with one line saying
// which, until it changes. A library known from the
// cache is opened only while a helper can still serve it here.
#pragma once

#include "platform/dynlib.h"
#include "spi/host/spi_protocol.h"
#include "spi/susie_plugin.h"

#include <cstdint>
#include <memory>
#include <string>

namespace zumo {

class SPILibrary
{
public:
    virtual ~SPILibrary() = default;
    // The library handle when loaded into this process, else null.
    virtual platform::LibraryHandle Handle() const { return nullptr; }
    // The loaded library's full path as reported; "" when none is.
    virtual const std::string& FileName() const = 0;
    // The entry points present (spihost::EntryBit).
    virtual std::uint32_t Entries() const = 0;

    virtual int GetPluginInfo(int number, char* buffer, int length) = 0;
    virtual int IsSupported(const char* name, const void* head) = 0;
    virtual int GetPictureInfo(const char* source, susie_intptr length, unsigned int flag,
                               SusiePictureInfo* info) = 0;
    virtual int GetPicture(spihost::PictureEntry entry, const char* source, susie_intptr length,
                           unsigned int flag, susie_handle* info, susie_handle* bits,
                           SusieProgressCallback callback, susie_intptr data) = 0;
    // How many calls failed so far because the plug-in crashed, hung or
    // answered garbage (only a helper's calls can): a caller that sees the
    // count rise asks this plug-in nothing more about the same picture.
    virtual int FailedCalls() const { return 0; }
    // The module has read the plug-in information it keeps. A helper's
    // answers go into the information cache, and a helper started only
    // for them is ended.
    virtual void InformationRead() {}
};

enum class SPIHosting { InProcess, Helper };

// How libraries opened from now on are hosted. Until set: helpers when
// $ZUMO_SPI_HOSTING is "helper", else in this process.
void SetSPIHosting(SPIHosting hosting);
SPIHosting CurrentSPIHosting();

// The file that keeps the plug-in information between runs; "" keeps it
// in memory only (the default).
void SetSPIInfoCacheFile(const std::string& path);
// $XDG_CACHE_HOME/zumo/spi-info.cache (~/.cache/...); "" without a home.
std::string DefaultSPIInfoCacheFile();

// Null when the file cannot be loaded as a plug-in library. A helper that
// crashes or hangs while the information is read throws
// ESPIFOpenErrorSPI, as a library that cannot be loaded does.
std::unique_ptr<SPILibrary> OpenSPILibrary(const std::string& path);

// Helpers started so far in this process (for the tests and the bench).
int HelpersStarted();

constexpr int k_max_helper_failures = 3;

} // namespace zumo
