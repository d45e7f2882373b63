#include "convert/batch_pool.h"

#include "platform/path.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <system_error>
#include <utility>

#ifndef _WIN32
#include <unistd.h>
#endif

namespace zumo {

namespace {

// The file name part in ASCII lower case: two targets that differ only in
// letter case may be one file on a file system that ignores case.
std::string folded_name(const std::string& path)
{
    std::string name = platform::file_name_part(path);
    for (char& c : name) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return name;
}

bool is_link(const std::string& path)
{
    std::error_code error;
    return std::filesystem::is_symlink(std::filesystem::path(path), error);
}

// How long the driver waits before it lets the window handle its events.
constexpr auto k_idle_interval = std::chrono::milliseconds(30);

} // namespace

int default_jobs()
{
    return static_cast<int>(std::max(1U, std::thread::hardware_concurrency()));
}

std::uint64_t default_memory_budget()
{
#ifdef _SC_PHYS_PAGES
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long page_size = ::sysconf(_SC_PAGESIZE);
    if (pages > 0 && page_size > 0)
        return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page_size) / 2;
#endif
    return std::uint64_t{1} << 31;
}

std::uint64_t picture_need(std::int64_t width, std::int64_t height)
{
    if (width <= 0 || height <= 0)
        return 0;
    return static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height) * 4 * 3;
}

// ---- one file's turns -------------------------------------------------------

class BatchPool::Turn : public FileTurn
{
public:
    enum class State { Waiting, Deciding, Passed };

    Turn(BatchPool& pool, int index, std::function<void()> take_turn)
        : m_pool(pool), m_index(index), m_take_turn(std::move(take_turn))
    {
    }

    void Reserve(std::uint64_t bytes) override
    {
        std::unique_lock lock(m_pool.m_mutex);
        m_pool.m_file_wake.wait(lock, [&] {
            return m_pool.m_in_use + bytes <= m_pool.m_budget || earliest_unfinished();
        });
        m_pool.m_slots[static_cast<std::size_t>(m_index)].reserved += bytes;
        m_pool.m_in_use += bytes;
    }

    void Decide() override
    {
        if (m_state != State::Waiting)
            return;
        {
            std::unique_lock lock(m_pool.m_mutex);
            m_pool.m_file_wake.wait(lock, [&] { return m_pool.m_decided == m_index; });
        }
        if (m_take_turn)
            m_take_turn();
        m_state = State::Deciding;
    }

    void Target(const std::string& target) override
    {
        const std::string name = folded_name(target);
        const bool link = is_link(target);
        std::unique_lock lock(m_pool.m_mutex);
        m_pool.m_file_wake.wait(lock, [&] {
            for (int j = 0; j < m_index; ++j) {
                const Slot& slot = m_pool.m_slots[static_cast<std::size_t>(j)];
                if (slot.writing && (link || slot.written_link || slot.written_name == name))
                    return false;
            }
            return true;
        });
    }

    void Writing(const std::string& target) override
    {
        const std::string name = folded_name(target);
        const bool link = is_link(target);
        const std::lock_guard lock(m_pool.m_mutex);
        // Under the lock: the driver's Start may move the slots meanwhile.
        Slot& slot = m_pool.m_slots[static_cast<std::size_t>(m_index)];
        slot.writing = true;
        slot.written_name = name;
        slot.written_link = link;
        pass();
    }

    // At the end of the file: a file that never came to its decisions takes
    // its turn among the inputs in order all the same.
    void Finished()
    {
        if (m_state == State::Waiting)
            Decide();
        const std::lock_guard lock(m_pool.m_mutex);
        if (m_state == State::Deciding)
            pass();
    }

private:
    // Under the pool's lock.
    void pass()
    {
        m_pool.m_decided = m_index + 1;
        m_state = State::Passed;
        m_pool.m_file_wake.notify_all();
    }
    bool earliest_unfinished() const
    {
        for (int j = m_pool.m_reported; j < m_index; ++j) {
            if (!m_pool.m_slots[static_cast<std::size_t>(j)].finished)
                return false;
        }
        return true;
    }

    BatchPool& m_pool;
    const int m_index;
    std::function<void()> m_take_turn;
    State m_state = State::Waiting;
};

// ---- the host as a worker's file sees it -----------------------------------

class BatchPool::OrderedHost : public UserHost
{
public:
    OrderedHost(BatchPool& pool, int index) : m_pool(pool), m_index(index) {}

    Answer Ask(const std::string& caption, const std::string& text, Buttons buttons) override
    {
        Answer answer = Answer::Cancel;
        m_pool.call_in_order(m_index, [&] { answer = m_pool.m_host.Ask(caption, text, buttons); });
        return answer;
    }
    void ShowMessage(const std::string& text) override
    {
        m_pool.call_in_order(m_index, [&] { m_pool.m_host.ShowMessage(text); });
    }
    void ShowFailure(const std::string& file_name, const std::string& text,
                     const std::string& reason) override
    {
        m_pool.call_in_order(m_index, [&] { m_pool.m_host.ShowFailure(file_name, text, reason); });
    }
    void Beep() override
    {
        m_pool.call_in_order(m_index, [&] { m_pool.m_host.Beep(); });
    }
    std::unique_ptr<ProgressDialog> ShowProgress(const std::string& text) override
    {
        std::unique_ptr<ProgressDialog> dialog;
        m_pool.call_in_order(m_index, [&] { dialog = m_pool.m_host.ShowProgress(text); });
        return dialog;
    }
    void ProcessMessages() override
    {
        m_pool.call_in_order(m_index, [&] { m_pool.m_host.ProcessMessages(); });
    }

private:
    BatchPool& m_pool;
    const int m_index;
};

// ---- the pool -----------------------------------------------------------------

BatchPool::BatchPool(UserHost& host, int jobs, std::uint64_t memory_budget)
    : m_host(host), m_jobs(std::max(1, jobs)), m_budget(memory_budget)
{
    if (m_jobs > 1 || host.RunsBatchesAside()) {
        for (int i = 0; i < m_jobs; ++i)
            m_workers.emplace_back([this] { worker_loop(); });
    }
}

BatchPool::~BatchPool()
{
    if (m_workers.empty())
        return;
    try {
        Finish(); // a driver that left early: its files still need the host
    } catch (...) {
        // Nothing left to report to; the workers are ended below.
    }
    {
        const std::lock_guard lock(m_mutex);
        m_closing = true;
    }
    m_worker_wake.notify_all();
    for (std::thread& worker : m_workers)
        worker.join();
}

bool BatchPool::WaitForRoom()
{
    if (m_workers.empty())
        return !m_stopped;
    std::unique_lock lock(m_mutex);
    serve_until(lock, [&] {
        return m_stopped || (m_in_flight < m_jobs && (m_in_use < m_budget || m_in_flight == 0));
    });
    return !m_stopped;
}

void BatchPool::Start(BatchFile file)
{
    if (m_workers.empty()) {
        const int index = m_started++;
        if (file.take_turn)
            file.take_turn();
        file.work(m_host, nullptr);
        m_reported = m_started;
        if (on_finished && !on_finished(index))
            m_stopped = true;
        return;
    }
    std::unique_lock lock(m_mutex);
    const int index = m_started++;
    m_slots.emplace_back();
    ++m_in_flight;
    if (!file.alone) {
        m_tasks.emplace_back(index, std::move(file));
        m_worker_wake.notify_one();
        return;
    }
    // Alone: after every earlier file, on this thread, with the real host.
    serve_until(lock, [&] { return m_reported == index; });
    lock.unlock();
    if (file.take_turn)
        file.take_turn();
    try {
        file.work(m_host, nullptr);
    } catch (...) {
        // The work reports its own failures; nothing may stop the batch.
    }
    lock.lock();
    m_decided = index + 1;
    m_slots[static_cast<std::size_t>(index)].finished = true;
    --m_in_flight;
    m_file_wake.notify_all();
    report_finished(lock);
}

void BatchPool::Finish()
{
    if (m_workers.empty())
        return;
    std::unique_lock lock(m_mutex);
    serve_until(lock, [&] { return m_reported == m_started; });
}

void BatchPool::worker_loop()
{
    for (;;) {
        std::pair<int, BatchFile> task;
        {
            std::unique_lock lock(m_mutex);
            m_worker_wake.wait(lock, [&] { return m_closing || !m_tasks.empty(); });
            if (m_tasks.empty())
                return;
            task = std::move(m_tasks.front());
            m_tasks.pop_front();
        }
        run_file(task.first, task.second);
    }
}

void BatchPool::run_file(int index, BatchFile& file)
{
    Turn turn(*this, index, file.take_turn);
    OrderedHost host(*this, index);
    try {
        file.work(host, &turn);
    } catch (...) {
        // The work reports its own failures; nothing may stop the batch.
    }
    turn.Finished();
    file_done(index);
}

void BatchPool::file_done(int index)
{
    {
        const std::lock_guard lock(m_mutex);
        Slot& slot = m_slots[static_cast<std::size_t>(index)];
        slot.finished = true;
        slot.writing = false;
        m_in_use -= slot.reserved;
        slot.reserved = 0;
        --m_in_flight;
    }
    m_file_wake.notify_all();
    m_driver_wake.notify_all();
}

void BatchPool::serve_until(std::unique_lock<std::mutex>& lock, const std::function<bool()>& done)
{
    for (;;) {
        report_finished(lock);
        if (done())
            return;
        if (!m_calls.empty()) {
            Call* call = m_calls.front();
            m_calls.pop_front();
            lock.unlock();
            try {
                call->run();
            } catch (...) {
                call->error = std::current_exception();
            }
            lock.lock();
            call->done = true;
            m_file_wake.notify_all();
            continue;
        }
        if (m_driver_wake.wait_for(lock, k_idle_interval) == std::cv_status::timeout) {
            lock.unlock();
            m_host.Idle();
            lock.lock();
        }
    }
}

void BatchPool::report_finished(std::unique_lock<std::mutex>& lock)
{
    while (m_reported < m_started && m_slots[static_cast<std::size_t>(m_reported)].finished) {
        const int index = m_reported;
        if (!m_stopped && on_finished) {
            lock.unlock();
            const bool go_on = on_finished(index);
            lock.lock();
            if (!go_on)
                m_stopped = true;
        }
        m_reported = index + 1;
        m_file_wake.notify_all();
    }
}

void BatchPool::call_in_order(int index, const std::function<void()>& run)
{
    Call call{run, false, nullptr};
    {
        std::unique_lock lock(m_mutex);
        m_file_wake.wait(lock, [&] { return m_reported == index; });
        m_calls.push_back(&call);
        m_driver_wake.notify_all();
        m_file_wake.wait(lock, [&] { return call.done; });
    }
    if (call.error)
        std::rethrow_exception(call.error);
}

} // namespace zumo
