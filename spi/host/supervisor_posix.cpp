#include "spi/host/supervisor_posix.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>
#ifdef __linux__
#include <sys/prctl.h>
#endif

namespace zumo::spihost {
namespace {

// The parent of pid from /proc/<pid>/stat ("pid (name) state ppid ..."; the
// name may hold spaces and parentheses, so the last ")" ends it); 0 when
// the process is gone.
pid_t parent_of(const char* pid)
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%s/stat", pid);
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    char text[512];
    ssize_t n = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    if (n <= 0)
        return 0;
    text[n] = '\0';
    const char* end = nullptr;
    for (const char* p = text; *p; ++p)
        if (*p == ')')
            end = p;
    char state = 0;
    int parent = 0;
    if (!end || std::sscanf(end + 1, " %c %d", &state, &parent) != 2)
        return 0;
    return parent;
}

// Every process below root, parents before their children. The kernel's
// per-task children lists are not built everywhere; the parent links of
// all processes are.
std::vector<pid_t> descendants(pid_t root)
{
    std::multimap<pid_t, pid_t> children;
    if (DIR* proc = ::opendir("/proc")) {
        while (dirent* entry = ::readdir(proc)) {
            char* end = nullptr;
            long pid = std::strtol(entry->d_name, &end, 10);
            if (pid > 0 && *end == '\0')
                if (pid_t parent = parent_of(entry->d_name))
                    children.emplace(parent, static_cast<pid_t>(pid));
        }
        ::closedir(proc);
    }
    std::vector<pid_t> found;
    std::vector<pid_t> queue{root};
    while (!queue.empty()) {
        pid_t parent = queue.back();
        queue.pop_back();
        auto [first, last] = children.equal_range(parent);
        for (auto it = first; it != last; ++it) {
            found.push_back(it->second);
            queue.push_back(it->second);
        }
    }
    return found;
}

// Ends this process the way the serving child ended: its exit status, or
// its signal (without a second core file).
[[noreturn]] void end_like(int status)
{
    if (WIFSIGNALED(status)) {
        const int sig = WTERMSIG(status);
        const rlimit no_core{0, 0};
        ::setrlimit(RLIMIT_CORE, &no_core);
        std::signal(sig, SIG_DFL);
        sigset_t only;
        sigemptyset(&only);
        sigaddset(&only, sig);
        ::sigprocmask(SIG_UNBLOCK, &only, nullptr);
        ::kill(::getpid(), sig);
    }
    std::_Exit(WIFEXITED(status) ? WEXITSTATUS(status) : 70);
}

// Waits until the serving child ends or the helper is asked to stop;
// reaps the orphans that end meanwhile. The result is the wait status to
// end with.
int supervise(pid_t server, const sigset_t& handled)
{
    for (;;) {
        siginfo_t info;
        const int sig = ::sigwaitinfo(&handled, &info);
        if (sig < 0) {
            if (errno == EINTR)
                continue;
            return W_EXITCODE(70, 0);
        }
        if (sig != SIGCHLD)
            return sig; // as a wait status: ended by that signal
        int status = 0;
        pid_t pid;
        while ((pid = ::waitpid(-1, &status, WNOHANG)) > 0)
            if (pid == server)
                return status;
    }
}

} // namespace

void end_descendants()
{
    using Clock = std::chrono::steady_clock;
    const auto give_up = Clock::now() + std::chrono::seconds(3);
    for (;;) {
        // Killed in one sweep, parents first; what one of them forked in
        // the meantime is an orphan of this subreaper at the next sweep.
        for (pid_t pid : descendants(::getpid()))
            ::kill(pid, SIGKILL);
        pid_t reaped;
        while ((reaped = ::waitpid(-1, nullptr, WNOHANG)) > 0) {
        }
        if (reaped < 0 && errno == ECHILD)
            return;
        if (Clock::now() > give_up)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

int run_supervised(const std::function<int()>& serve, std::initializer_list<int> channel_fds)
{
#ifdef __linux__
    sigset_t handled, previous;
    sigemptyset(&handled);
    for (int sig : {SIGCHLD, SIGTERM, SIGHUP, SIGINT})
        sigaddset(&handled, sig);
    ::sigprocmask(SIG_BLOCK, &handled, &previous);
    const pid_t program = ::getppid();
    if (::prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) {
        ::sigprocmask(SIG_SETMASK, &previous, nullptr);
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        return serve();
    }
    // The program's end reaches the supervisor as a signal it handles. One
    // that ended before this line left the helper to init already.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != program)
        std::_Exit(0);
    const pid_t supervisor = ::getpid();
    const pid_t server = ::fork();
    if (server == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != supervisor)
            std::_Exit(0);
        ::sigprocmask(SIG_SETMASK, &previous, nullptr);
        return serve();
    }
    if (server < 0) {
        std::perror("zumo-spi-host: fork");
        std::_Exit(71);
    }
    for (int fd : channel_fds)
        ::close(fd);
    const int status = supervise(server, handled);
    end_descendants();
    end_like(status);
#else
    (void)channel_fds;
    return serve();
#endif
}

} // namespace zumo::spihost
