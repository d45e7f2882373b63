#include "spi/helper/spi_helper.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>

extern char** environ;

namespace zumo {

using namespace spihost;
using Clock = std::chrono::steady_clock;

namespace {

std::optional<std::chrono::milliseconds> g_timeout;
HelperWaitHook g_wait_hook;
std::function<bool()> g_stop_check;
thread_local bool t_in_wait_hook = false;
std::atomic<int> g_pictures_shared{0};

constexpr std::chrono::milliseconds k_quiet_wait{100};
constexpr std::chrono::milliseconds k_wait_hook_interval{50};

// The hook's calls over one request: none for a short one, Going at most
// every k_wait_hook_interval, Ended only after Began.
class WaitHookCalls
{
public:
    WaitHookCalls() : m_began(Clock::now()), m_active(g_wait_hook && !t_in_wait_hook) {}
    ~WaitHookCalls()
    {
        if (m_announced)
            Call(HelperWait::Ended);
    }
    WaitHookCalls(const WaitHookCalls&) = delete;
    WaitHookCalls& operator=(const WaitHookCalls&) = delete;

    // How long the next poll may last at most, in milliseconds, for a
    // wait with left milliseconds to go.
    long long Slice(long long left) const
    {
        long long slice = left;
        if (g_stop_check)
            slice = std::min<long long>(slice, k_wait_hook_interval.count());
        if (m_active) {
            auto next = m_announced ? m_last_call + k_wait_hook_interval : m_began + k_quiet_wait;
            auto until = std::chrono::ceil<std::chrono::milliseconds>(next - Clock::now());
            slice = std::min<long long>(slice, std::max<long long>(until.count(), 1));
        }
        return slice;
    }
    // After every poll and every progress report: calls the hook when its
    // time has come, however busy the helper keeps the pipe.
    void Tick()
    {
        if (!m_active)
            return;
        auto now = Clock::now();
        if (now - m_began < k_quiet_wait ||
            (m_announced && now - m_last_call < k_wait_hook_interval))
            return;
        Call(m_announced ? HelperWait::Going : HelperWait::Began);
        m_announced = true;
        m_last_call = Clock::now();
    }

private:
    static void Call(HelperWait wait)
    {
        // A copy: the hook may be replaced while it runs.
        HelperWaitHook hook = g_wait_hook;
        if (!hook)
            return;
        t_in_wait_hook = true;
        try {
            hook(wait);
        } catch (...) {
        }
        t_in_wait_hook = false;
    }

    Clock::time_point m_began;
    Clock::time_point m_last_call;
    bool m_active;
    bool m_announced = false;
};

bool stop_requested()
{
    if (!g_stop_check)
        return false;
    try {
        return g_stop_check();
    } catch (...) {
        return false;
    }
}

// Writes with SIGPIPE held back in this thread: a helper that died shows
// as EPIPE here instead of ending the program.
ssize_t write_without_sigpipe(int fd, const void* buffer, std::size_t count)
{
    sigset_t pipe_signal, old;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    bool was_pending = false;
    pthread_sigmask(SIG_BLOCK, &pipe_signal, &old);
    sigset_t pending;
    if (sigpending(&pending) == 0)
        was_pending = sigismember(&pending, SIGPIPE);
    ssize_t n = ::write(fd, buffer, count);
    int error = errno;
    if (n < 0 && error == EPIPE && !was_pending) {
        timespec zero{};
        while (sigtimedwait(&pipe_signal, nullptr, &zero) < 0 && errno == EINTR) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    errno = error;
    return n;
}

std::vector<std::string> merged_environment(const std::vector<std::string>& extra)
{
    std::vector<std::string> env;
    for (char** e = environ; e && *e; ++e) {
        std::string entry = *e;
        std::string name = entry.substr(0, entry.find('='));
        bool replaced = std::any_of(extra.begin(), extra.end(), [&](const std::string& x) {
            return x.compare(0, name.size() + 1, name + "=") == 0;
        });
        if (!replaced)
            env.push_back(std::move(entry));
    }
    env.insert(env.end(), extra.begin(), extra.end());
    return env;
}

std::vector<char*> c_strings(std::vector<std::string>& strings)
{
    std::vector<char*> out;
    for (std::string& s : strings)
        out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

std::string plugin_label(const std::string& path)
{
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Helpers asked to end, reaped as they go. One still stuck in its plug-in
// when the program ends is killed by the kernel (the helper asks for that).
// The preview's worker and the window's thread may both stop helpers.
class EndingHelpers
{
public:
    void Add(pid_t pid)
    {
        const std::lock_guard lock(m_mutex);
        m_pids.push_back(pid);
        reap();
    }
    // Collects the ended ones; true while some still run.
    bool Reap()
    {
        const std::lock_guard lock(m_mutex);
        return reap();
    }

private:
    bool reap()
    {
        std::erase_if(m_pids, [](pid_t pid) { return ::waitpid(pid, nullptr, WNOHANG) != 0; });
        return !m_pids.empty();
    }

    std::mutex m_mutex;
    std::vector<pid_t> m_pids;
};

// Stops a helper. The native helper ends what its plug-in started, also in
// sessions of their own, when asked with SIGTERM, so it is asked first and
// given a moment. Then the helper is killed with its process group (it
// leads one of its own): a loader that starts the helper without replacing
// itself (a Wine wrapper script) goes with it. Wine's server runs in a
// session of its own and stays. The helper is left for the caller to reap,
// so its pid, and with it the group's, is not reused meanwhile.
void kill_helper(pid_t pid)
{
    ::kill(pid, SIGTERM);
    const auto give_up = Clock::now() + std::chrono::seconds(1);
    siginfo_t ended{};
    while (::waitid(P_PID, static_cast<id_t>(pid), &ended, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           ended.si_pid == 0 && Clock::now() < give_up)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ::kill(-pid, SIGKILL);
    ::kill(pid, SIGKILL);
}

EndingHelpers& ending_helpers()
{
    // Never destroyed: a helper may end during the program's own end.
    static EndingHelpers* helpers = new EndingHelpers;
    return *helpers;
}

} // namespace

namespace {

std::optional<std::chrono::milliseconds> milliseconds_from_environment(const char* name)
{
    if (const char* text = std::getenv(name); text && *text) {
        long value = std::strtol(text, nullptr, 10);
        if (value > 0)
            return std::chrono::milliseconds(value);
    }
    return std::nullopt;
}

} // namespace

std::chrono::milliseconds HelperTimeout()
{
    if (g_timeout)
        return *g_timeout;
    return milliseconds_from_environment("ZUMO_SPI_TIMEOUT_MS").value_or(std::chrono::seconds(10));
}

std::chrono::milliseconds HelperTotalTimeout(std::chrono::milliseconds timeout)
{
    // Three silences: a decoder that reports progress and still has not
    // finished by then is looping, not working on a large picture.
    return std::max(
        timeout, milliseconds_from_environment("ZUMO_SPI_TOTAL_TIMEOUT_MS").value_or(3 * timeout));
}

void SetHelperStopCheck(std::function<bool()> stopping)
{
    g_stop_check = std::move(stopping);
}

void SetHelperTimeout(std::chrono::milliseconds timeout)
{
    g_timeout = timeout;
}

void SetHelperWaitHook(HelperWaitHook hook)
{
    g_wait_hook = std::move(hook);
}

int PicturesInSharedMemory()
{
    return g_pictures_shared.load();
}

// The two pipes to the helper, non-blocking on this side. A request has
// two deadlines for every read and write: the silence deadline, which
// Restart moves on, and the request's end, which nothing moves.
class SPIHelper::Pipes : public Channel
{
public:
    // blocks: the socket over which the helper hands over shared memory, or
    // -1.
    Pipes(int to_helper, int from_helper, int blocks)
        : m_to(to_helper), m_from(from_helper), m_blocks(blocks)
    {
    }
    ~Pipes() override { Close(); }

    void Close()
    {
        if (m_to >= 0)
            ::close(m_to);
        if (m_from >= 0)
            ::close(m_from);
        m_to = m_from = -1;
        m_blocks.reset();
        EndRequest();
    }
    int Blocks() const { return m_blocks.get(); }
    // A new request: silence may last timeout, the whole of it total.
    void Begin(std::chrono::milliseconds timeout, std::chrono::milliseconds total)
    {
        EndRequest();
        m_limit = Clock::now() + total;
        m_progressed = false;
        Restart(timeout);
        m_hook.emplace();
    }
    // No request: a farewell or the like, within timeout and without hook.
    void Within(std::chrono::milliseconds timeout)
    {
        EndRequest();
        m_limit = Clock::now() + timeout;
        Restart(timeout);
    }
    void EndRequest() { m_hook.reset(); }
    void Restart(std::chrono::milliseconds timeout) { m_deadline = Clock::now() + timeout; }
    // A progress report came: silence starts anew.
    void Progressed(std::chrono::milliseconds timeout)
    {
        m_progressed = true;
        Restart(timeout);
    }
    End Ended() const { return m_end; }

    // Between frames of a busy helper: the window's hook has its turn, and
    // the request ends when the program stops or its time is up. False
    // then (Ended says why).
    bool Check()
    {
        if (m_hook)
            m_hook->Tick();
        if (stop_requested())
            m_end = End::Abandoned;
        else if (Clock::now() >= m_limit)
            m_end = TimeUp();
        else
            return true;
        return false;
    }

    bool read_exact(void* buffer, std::size_t count) override
    {
        return Transfer(m_from, POLLIN, static_cast<char*>(buffer), count,
                        [](int fd, char* p, std::size_t n) { return ::read(fd, p, n); });
    }

    bool write_all(const void* buffer, std::size_t count) override
    {
        return Transfer(
            m_to, POLLOUT, const_cast<char*>(static_cast<const char*>(buffer)), count,
            [](int fd, char* p, std::size_t n) { return write_without_sigpipe(fd, p, n); });
    }

private:
    // Reads or writes count bytes, waiting for the descriptor while the
    // deadline allows.
    template <class Op> bool Transfer(int fd, short events, char* p, std::size_t count, Op op)
    {
        while (count > 0) {
            ssize_t n = op(fd, p, count);
            if (n > 0) {
                p += n;
                count -= static_cast<std::size_t>(n);
            } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
                m_end = End::Closed;
                return false;
            } else if (errno == EAGAIN && !Wait(fd, events)) {
                return false;
            }
        }
        return true;
    }

    bool Wait(int fd, short events)
    {
        // Outside a request (the farewell to an ending helper) no hook runs.
        WaitHookCalls none;
        WaitHookCalls& hook = m_hook ? *m_hook : none;
        for (;;) {
            if (!Check())
                return false;
            auto left = std::chrono::ceil<std::chrono::milliseconds>(std::min(m_deadline, m_limit) -
                                                                     Clock::now());
            if (left.count() <= 0) {
                m_end = TimeUp();
                return false;
            }
            pollfd entry{fd, events, 0};
            int ready = ::poll(
                &entry, 1, static_cast<int>(std::min<long long>(hook.Slice(left.count()), 60000)));
            if (ready > 0)
                return true; // the read or write tells what happened
            if (ready < 0 && errno != EINTR) {
                m_end = End::Closed;
                return false;
            }
        }
    }

    // A helper silent since the request began did not answer; one that
    // went on reporting progress did not finish.
    End TimeUp() const { return m_progressed ? End::OverLimit : End::TimedOut; }

    int m_to;
    int m_from;
    UniqueFd m_blocks;
    bool m_progressed = false;
    Clock::time_point m_deadline = Clock::now();
    Clock::time_point m_limit = Clock::time_point::max();
    std::optional<WaitHookCalls> m_hook;
    End m_end = End::None;
};

std::unique_ptr<SPIHelper> SPIHelper::Start(const HelperCommand& command, const std::string& path,
                                            std::chrono::milliseconds timeout,
                                            HelperStartFailure* failure)
{
    HelperStartFailure ignored;
    HelperStartFailure& why = failure ? *failure : ignored;
    why = HelperStartFailure::NotStarted;
    const std::string label = plugin_label(path);
    if (command.argv.empty())
        return nullptr;
    ending_helpers().Reap();
    int to_helper[2], from_helper[2];
    if (::pipe2(to_helper, O_CLOEXEC) != 0)
        return nullptr;
    if (::pipe2(from_helper, O_CLOEXEC) != 0) {
        ::close(to_helper[0]);
        ::close(to_helper[1]);
        return nullptr;
    }
    // The socket for pictures in shared memory, the helper's end as its
    // descriptor 3. Without one the pictures come in the pipe.
    UniqueFd blocks[2];
    if (command.shared_blocks) {
        int ends[2];
        if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) == 0) {
            blocks[0].reset(ends[0]);
            blocks[1].reset(ends[1]);
        }
    }
    constexpr int k_blocks_fd = 3;
    std::vector<std::string> argv_strings = command.argv;
    if (blocks[1].get() >= 0)
        argv_strings.insert(argv_strings.begin() + 1,
                            k_blocks_socket_option + std::to_string(k_blocks_fd));
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, to_helper[0], 0);
    posix_spawn_file_actions_adddup2(&actions, from_helper[1], 1);
    if (blocks[1].get() >= 0)
        posix_spawn_file_actions_adddup2(&actions, blocks[1].get(), k_blocks_fd);
    // Nothing else of the program's: a helper holding another pipe's end
    // would keep its reader from seeing the end.
    posix_spawn_file_actions_addclosefrom_np(&actions, blocks[1].get() >= 0 ? k_blocks_fd + 1 : 3);
    // A process group of its own: a Ctrl+C in the terminal reaches the
    // program, which then ends its helpers, not the helpers mid-answer.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t no_signals, defaults;
    sigemptyset(&no_signals);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigmask(&attributes, &no_signals);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK |
                                              POSIX_SPAWN_SETSIGDEF);
    std::vector<std::string> env_strings = merged_environment(command.environment);
    std::vector<char*> argv = c_strings(argv_strings);
    std::vector<char*> envp = c_strings(env_strings);
    pid_t pid = -1;
    int error = ::posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(to_helper[0]);
    ::close(from_helper[1]);
    blocks[1].reset();
    auto pipes = std::make_unique<Pipes>(to_helper[1], from_helper[0], blocks[0].release());
    if (error != 0) {
        std::fprintf(stderr, "zumo: %s: cannot start the plug-in helper %s: %s\n", label.c_str(),
                     command.argv[0].c_str(), std::strerror(error));
        return nullptr;
    }
    ::fcntl(to_helper[1], F_SETFL, O_NONBLOCK);
    ::fcntl(from_helper[0], F_SETFL, O_NONBLOCK);
#ifdef F_SETPIPE_SZ
    // Pictures come back in one piece: a larger pipe means fewer switches.
    ::fcntl(from_helper[0], F_SETPIPE_SZ, 1 << 20);
#endif
    std::unique_ptr<SPIHelper> helper(
        new SPIHelper(pid, std::move(pipes), label, timeout, HelperTotalTimeout(timeout)));
    const auto start_timeout = std::max(timeout, command.start_timeout);
    helper->m_pipes->Begin(start_timeout, start_timeout);
    std::optional<Frame> ready = helper->Read();
    helper->EndRequest();
    // The helper loads the library before its Ready: what goes wrong until
    // then is the library's doing, unless the program gave up waiting.
    if (!ready) {
        why =
            helper->Abandoned() ? HelperStartFailure::Abandoned : HelperStartFailure::WhileLoading;
        return nullptr;
    }
    try {
        if (ready->type != MessageType::Ready)
            throw ProtocolError("no Ready first");
        helper->m_ready = decode_ready(ready->payload);
    } catch (const ProtocolError& e) {
        helper->Fail(e.what());
        why = HelperStartFailure::WhileLoading;
        return nullptr;
    }
    return helper;
}

SPIHelper::SPIHelper(pid_t pid, std::unique_ptr<Pipes> pipes, std::string label,
                     std::chrono::milliseconds timeout, std::chrono::milliseconds total)
    : m_pid(pid), m_pipes(std::move(pipes)), m_label(std::move(label)), m_timeout(timeout),
      m_total(total)
{
}

SPIHelper::~SPIHelper()
{
    if (m_pid <= 0)
        return;
    m_pipes->Within(std::chrono::milliseconds(100));
    write_frame(*m_pipes, MessageType::Shutdown, std::span<const std::uint8_t>());
    m_pipes->Close();
    // The end of its input ends a helper too. Nobody waits for it here: a
    // start-up that read ten plug-ins' information would wait ten times.
    ending_helpers().Add(m_pid);
}

std::optional<FrameHeader> SPIHelper::ReadHeader()
{
    std::uint8_t header[k_frame_header_size];
    if (!m_pipes->read_exact(header, sizeof header)) {
        Stop(m_pipes->Ended());
        return std::nullopt;
    }
    try {
        return decode_header(std::span<const std::uint8_t, k_frame_header_size>(header));
    } catch (const ProtocolError& e) {
        Fail(e.what());
        return std::nullopt;
    }
}

bool SPIHelper::ReadPayload(void* buffer, std::size_t count)
{
    if (m_pid <= 0)
        return false;
    if (count == 0 || m_pipes->read_exact(buffer, count))
        return true;
    Stop(m_pipes->Ended());
    return false;
}

std::optional<Frame> SPIHelper::Read()
{
    std::optional<FrameHeader> header = ReadHeader();
    if (!header)
        return std::nullopt;
    Frame frame{header->type, std::vector<std::uint8_t>(header->length)};
    if (!ReadPayload(frame.payload.data(), frame.payload.size()))
        return std::nullopt;
    return frame;
}

std::optional<std::uint32_t> SPIHelper::ExchangeHeader(const Send& send, MessageType expected,
                                                       const OnProgress& on_progress)
{
    if (m_pid <= 0)
        return std::nullopt;
    m_pipes->Begin(m_timeout, m_total);
    if (!send(*m_pipes)) {
        Stop(m_pipes->Ended());
        return std::nullopt;
    }
    for (;;) {
        std::optional<FrameHeader> header = ReadHeader();
        if (!header)
            return std::nullopt;
        if (header->type == expected)
            return header->length;
        if (header->type != MessageType::Progress || !on_progress || header->length > 64) {
            Fail("an answer of the wrong kind");
            return std::nullopt;
        }
        std::vector<std::uint8_t> payload(header->length);
        if (!ReadPayload(payload.data(), payload.size()))
            return std::nullopt;
        ProgressMessage progress;
        try {
            progress = decode_progress(payload);
        } catch (const ProtocolError& e) {
            Fail(e.what());
            return std::nullopt;
        }
        int answer = on_progress(progress.done, progress.total);
        // A helper that reports progress without pause never waits in a
        // poll: the hook, the stop and the request's end are seen here.
        if (!m_pipes->Check()) {
            Stop(m_pipes->Ended());
            return std::nullopt;
        }
        // The plug-in is alive and working: its silence clock starts again
        // (the request's end stays where it is).
        m_pipes->Progressed(m_timeout);
        if (!write_frame(*m_pipes, MessageType::ProgressReply, encode_i32(answer))) {
            Stop(m_pipes->Ended());
            return std::nullopt;
        }
    }
}

std::optional<Frame> SPIHelper::Exchange(const Send& send, MessageType expected,
                                         const OnProgress& on_progress)
{
    std::optional<std::uint32_t> length = ExchangeHeader(send, expected, on_progress);
    if (!length)
        return std::nullopt;
    Frame frame{expected, std::vector<std::uint8_t>(*length)};
    bool read = ReadPayload(frame.payload.data(), frame.payload.size());
    EndRequest();
    if (!read)
        return std::nullopt;
    return frame;
}

void SPIHelper::EndRequest()
{
    m_pipes->EndRequest();
}

std::optional<SharedBlocks> SPIHelper::TakeSharedBlocks(std::uint64_t size)
{
    if (m_pid <= 0)
        return std::nullopt;
    if (m_pipes->Blocks() < 0) {
        Fail("picture memory announced but never offered");
        return std::nullopt;
    }
    try {
        SharedBlocks blocks = SharedBlocks::receive(m_pipes->Blocks(), size);
        ++g_pictures_shared;
        return blocks;
    } catch (const ProtocolError& e) {
        Fail(e.what());
        return std::nullopt;
    }
}

void SPIHelper::Fail(const std::string& why)
{
    Stop(End::Malformed, why);
}

void SPIHelper::Stop(End end, const std::string& detail)
{
    if (m_pid <= 0)
        return;
    m_pipes->Close();
    int status = 0;
    pid_t pid = std::exchange(m_pid, -1);
    bool killed = false;
    if (end == End::Closed) {
        // It ended on its own: wait a moment for the reason.
        auto give_up = Clock::now() + std::chrono::seconds(2);
        while (::waitpid(pid, &status, WNOHANG) == 0) {
            if (Clock::now() > give_up) {
                kill_helper(pid);
                ::waitpid(pid, &status, 0);
                killed = true;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    } else {
        kill_helper(pid);
        ::waitpid(pid, &status, 0);
        killed = true;
    }
    auto seconds = [](std::chrono::milliseconds time) {
        char text[32];
        std::snprintf(text, sizeof text, "%.1f", static_cast<double>(time.count()) / 1000);
        return std::string(text);
    };
    std::string what;
    if (end == End::TimedOut) {
        what = "the plug-in did not answer within " + seconds(m_timeout) +
               " s; its helper was stopped";
    } else if (end == End::OverLimit) {
        what = "the plug-in did not finish within " + seconds(m_total) +
               " s (progress reports do not extend that); its helper was stopped";
    } else if (end == End::Abandoned) {
        m_abandoned = true;
        what = "zumo is stopping; the plug-in's helper was stopped before it answered";
    } else if (end == End::Malformed) {
        what = "the plug-in's helper answered malformed data (" + detail + "); it was stopped";
    } else if (!killed && WIFSIGNALED(status)) {
        what = "the plug-in crashed (signal " + std::to_string(WTERMSIG(status)) + ", " +
               ::strsignal(WTERMSIG(status)) + ")";
    } else if (!killed && WIFEXITED(status)) {
        what = "the plug-in's helper ended with exit status " + std::to_string(WEXITSTATUS(status));
    } else {
        what = "the plug-in's helper stopped answering";
    }
    std::fprintf(stderr, "zumo: %s: %s\n", m_label.c_str(), what.c_str());
}

} // namespace zumo
