// The program's end of one plug-in helper process (zumo-spi-host or a
// Windows helper under Wine): starts it, exchanges requests and answers
// under a deadline, and stops it.
//
// A helper that ends (a plug-in crash), does not answer within the
// timeout (a hang: it is killed), does not finish within the total limit
// (a plug-in that goes on reporting progress without end) or answers
// something malformed fails the request: the exchange gives none, the
// helper is gone, and one line on standard error says what happened. The
// caller treats that as the plug-in's error and starts a new helper for
// the next request. A request under way is also given up, and its helper
// stopped, as soon as the program is asked to stop (SetHelperStopCheck).
#pragma once

#include "spi/helper/spi_launcher.h"
#include "spi/host/shared_blocks_posix.h"
#include "spi/host/spi_protocol.h"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>

namespace zumo {

// Why SPIHelper::Start gave no helper.
enum class HelperStartFailure {
    // The helper program could not be run (no pipe, no process).
    NotStarted,
    // The helper ran, then ended, hung or answered garbage before its
    // Ready: the plug-in failed while its library was loaded.
    WhileLoading,
    // Given up because the program is stopping.
    Abandoned,
};

class SPIHelper
{
public:
    // Starts the helper and reads its Ready. None when it cannot be
    // started or fails before Ready (said on standard error); label names
    // the plug-in in that line, and failure (when given) learns why.
    static std::unique_ptr<SPIHelper> Start(const HelperCommand& command, const std::string& label,
                                            std::chrono::milliseconds timeout,
                                            HelperStartFailure* failure = nullptr);
    SPIHelper(const SPIHelper&) = delete;
    SPIHelper& operator=(const SPIHelper&) = delete;
    // Asks the helper to end, and kills it when it does not.
    ~SPIHelper();

    const spihost::ReadyMessage& Ready() const { return m_ready; }
    bool Alive() const { return m_pid > 0; }
    pid_t Pid() const { return m_pid; }

    using Send = std::function<bool(spihost::Channel&)>;
    // done, total -> the callback's answer (0 go on).
    using OnProgress = std::function<int(int done, int total)>;

    // Sends a request and reads until a frame of type expected, answering
    // Progress frames with on_progress (a helper that reports progress
    // without it fails). None when the helper failed; it is stopped then.
    // Each progress report gives the helper the timeout anew, but never
    // past the total limit counted from the request.
    std::optional<spihost::Frame> Exchange(const Send& send, spihost::MessageType expected,
                                           const OnProgress& on_progress = nullptr);
    // As Exchange, but ends after the header of the expected frame and
    // gives its payload length: the caller reads the payload with
    // ReadPayload (big blocks go straight where they belong), under the
    // same limits, and then calls EndRequest.
    std::optional<std::uint32_t> ExchangeHeader(const Send& send, spihost::MessageType expected,
                                                const OnProgress& on_progress = nullptr);
    // Reads count bytes of a payload; false when the helper failed (it is
    // stopped then).
    bool ReadPayload(void* buffer, std::size_t count);
    // The request begun by ExchangeHeader is over: a window told that the
    // wait began hears that it ended.
    void EndRequest();
    // The memory of size bytes in which the helper handed over the blocks of
    // the picture reply just read (when the reply says so), checked as
    // SharedBlocks::receive does. None when it handed over nothing sound:
    // the helper is stopped then, and the line says why.
    std::optional<spihost::SharedBlocks> TakeSharedBlocks(std::uint64_t size);
    // Stops the helper after an answer that the caller found malformed.
    void Fail(const std::string& why);
    // The helper was stopped because the program is stopping, not for
    // anything the plug-in did.
    bool Abandoned() const { return m_abandoned; }

private:
    class Pipes;
    // How the conversation ended.
    enum class End { None, Closed, TimedOut, OverLimit, Abandoned, Malformed };
    SPIHelper(pid_t pid, std::unique_ptr<Pipes> pipes, std::string label,
              std::chrono::milliseconds timeout, std::chrono::milliseconds total);
    std::optional<spihost::FrameHeader> ReadHeader();
    std::optional<spihost::Frame> Read();
    // Stops the helper and says on standard error why.
    void Stop(End end, const std::string& detail = {});

    pid_t m_pid;
    std::unique_ptr<Pipes> m_pipes;
    std::string m_label;
    std::chrono::milliseconds m_timeout;
    std::chrono::milliseconds m_total;
    spihost::ReadyMessage m_ready;
    bool m_abandoned = false;
};

// How many pictures came back from helpers in shared memory in this run
// (the others came in the channel's stream).
int PicturesInSharedMemory();

// A request to a helper that lasts: Began after the first 100 ms, Going
// about every 50 ms after that (whether the helper is silent or keeps
// reporting progress), Ended once when the answer (or the end of the
// helper) came. Set by a window that goes on painting and shows
// it is busy meanwhile instead of freezing until a hung plug-in's helper
// is stopped; null (the default) for none. Never called from within
// itself: a wait that the hook's own work causes goes without it.
enum class HelperWait { Began, Going, Ended };
using HelperWaitHook = std::function<void(HelperWait)>;
void SetHelperWaitHook(HelperWaitHook hook);

// Asked about every 50 ms while a helper is awaited: true gives the
// request up at once (a stop signal, the program closing). Null (the
// default) for never.
void SetHelperStopCheck(std::function<bool()> stopping);

// How long a helper may stay silent on one request (progress reports
// restart the clock): 10 s, or $ZUMO_SPI_TIMEOUT_MS.
std::chrono::milliseconds HelperTimeout();
void SetHelperTimeout(std::chrono::milliseconds timeout);
// How long one request may take in all, progress or not:
// $ZUMO_SPI_TOTAL_TIMEOUT_MS, else three times the silence limit given
// (at least that limit).
std::chrono::milliseconds HelperTotalTimeout(std::chrono::milliseconds timeout);

} // namespace zumo
