// Runs the files of a conversion batch side by side on worker threads while
// the user sees what a one-at-a-time run shows.
//
// What the user sees comes in file order: a call of file i to the user host
// waits until every file before i has finished and its progress step has
// been shown, and it is carried out on the thread that drives the batch
// (the window's), which serves such calls while it waits for the workers.
//
// What lands on the disk is what a one-at-a-time run leaves: the pictures
// are loaded and worked on side by side, but each file makes its decisions
// (its turn among the run's inputs, the folder question, the write rule's
// checks, a folder made) in file order, and a file whose output may be the
// same file as an earlier one still being written waits for that write.
#pragma once

#include "convert/user_host.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zumo {

// Worker threads when all cores are to be used: one per core.
int default_jobs();
// Bytes the pictures in flight may take together: half the physical memory.
std::uint64_t default_memory_budget();
// Bytes one picture of width x height takes in flight: the decoded picture,
// its turned or resized copy and the encoder's rows.
std::uint64_t picture_need(std::int64_t width, std::int64_t height);

// The points where one file of a parallel batch waits for the files before
// it. A conversion run one at a time gets none (a null FileTurn).
class FileTurn
{
public:
    virtual ~FileTurn() = default;
    // The picture in hand takes bytes until the file ends: waits until the
    // budget has room (the earliest unfinished file never waits).
    virtual void Reserve(std::uint64_t bytes) = 0;
    // Before the first decision that depends on what earlier files did:
    // waits until every earlier file has made its own, then the file takes
    // its turn among the run's inputs.
    virtual void Decide() = 0;
    // target is where the file will write: waits while an earlier file
    // writes a file that may be the same one (same name, or a link).
    virtual void Target(const std::string& target) = 0;
    // Decisions made; the file writes target now, and the next file may
    // decide meanwhile.
    virtual void Writing(const std::string& target) = 0;
};

// One file of a batch.
struct BatchFile
{
    // Runs on the driver's thread, with the driver's host, once every
    // earlier file has finished; no later file starts before it ends. For
    // a rename, and for an input that did not exist when the run began (an
    // earlier file may make it).
    bool alone = false;
    // The file's turn among the run's inputs (RunFiles::TakeTurn); taken
    // at Decide, or before the work when the file runs alone or one at a
    // time.
    std::function<void()> take_turn;
    // The work: reports through host; turn is null when the file runs on
    // the driver's thread.
    std::function<void(UserHost& host, FileTurn* turn)> work;
};

class BatchPool
{
public:
    // jobs <= 1 runs every file at once on the caller's thread, exactly as
    // a loop would, unless the host runs batches aside: then one worker
    // takes the files one at a time.
    BatchPool(UserHost& host, int jobs, std::uint64_t memory_budget = default_memory_budget());
    ~BatchPool();
    BatchPool(const BatchPool&) = delete;
    BatchPool& operator=(const BatchPool&) = delete;

    // Called on the driver's thread for each file in order, once it and
    // every earlier file have finished: the driver's progress step.
    // Returning false stops the batch: no further file starts.
    std::function<bool(int index)> on_finished;

    // Waits (serving the host) until the next file may start; false when
    // the batch has stopped. The driver takes the file's option snapshot
    // after this returns true, then calls Start.
    bool WaitForRoom();
    // Starts the next file (index counted from 0).
    void Start(BatchFile file);
    // Waits, serving the host, until every started file has finished.
    void Finish();
    bool Stopped() const { return m_stopped; }
    int Jobs() const { return m_jobs; }

private:
    class Turn;
    class OrderedHost;
    struct Call
    {
        std::function<void()> run;
        bool done = false;
        std::exception_ptr error;
    };
    struct Slot
    {
        bool finished = false;
        std::uint64_t reserved = 0;
        bool writing = false;
        std::string written_name; // lower-case file name of the target
        bool written_link = false;
    };

    void worker_loop();
    void run_file(int index, BatchFile& file);
    void file_done(int index);
    // Serves calls and reports finished files until done() holds.
    void serve_until(std::unique_lock<std::mutex>& lock, const std::function<bool()>& done);
    void report_finished(std::unique_lock<std::mutex>& lock);
    // Carries out call on the driver's thread once file index has its turn.
    void call_in_order(int index, const std::function<void()>& call);

    UserHost& m_host;
    const int m_jobs;
    const std::uint64_t m_budget;
    bool m_stopped = false;

    std::mutex m_mutex;
    std::condition_variable m_driver_wake; // the driver: a call or a finished file
    std::condition_variable m_file_wake;   // the files: a turn, room, a call done
    std::condition_variable m_worker_wake; // the workers: a task or the end
    std::deque<Slot> m_slots;              // grows at the back only: references stay valid
    std::deque<std::pair<int, BatchFile>> m_tasks;
    std::deque<Call*> m_calls;
    int m_started = 0;
    int m_reported = 0; // files whose on_finished has run
    int m_decided = 0;  // files that passed their decisions
    int m_in_flight = 0;
    std::uint64_t m_in_use = 0;
    bool m_closing = false;
    std::vector<std::thread> m_workers;
};

} // namespace zumo
