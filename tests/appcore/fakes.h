// Fakes for the runs: every call lands in one shared log, so a test sees the
// order of dialog updates, operations, beeps and program control at once.
#pragma once

#include "app/core/CommandLine.h"
#include "app/core/FileRuns.h"

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace zumo::test {

using Log = std::vector<std::string>;

class FakeOptions : public OptionSource
{
public:
    OptionSnapshot Options() override
    {
        ++calls;
        return snapshot;
    }
    OptionSnapshot snapshot;
    int calls = 0;
};

class FakeProgress : public ProgressDialog
{
public:
    FakeProgress(Log& log, std::function<bool(int, int)> cancel_at)
        : m_log(log), m_cancel_at(std::move(cancel_at))
    {
    }
    ~FakeProgress() override { m_log.push_back("release"); }
    void SetCaption(const std::string& caption) override { m_log.push_back("caption " + caption); }
    void SetSmooth(bool) override { m_log.push_back("smooth"); }
    void SetProgress(const std::string& text, int max, int position) override
    {
        m_log.push_back("progress " + text + " " + std::to_string(max) + " " +
                        std::to_string(position));
        if (m_cancel_at && m_cancel_at(max, position))
            m_cancelled = true;
    }
    bool Cancelled() const override { return m_cancelled; }

private:
    Log& m_log;
    std::function<bool(int, int)> m_cancel_at;
    bool m_cancelled = false;
};

class FakeHost : public UserHost
{
public:
    explicit FakeHost(Log& log) : m_log(log) {}
    Answer Ask(const std::string& caption, const std::string& text, Buttons) override
    {
        m_log.push_back("ask " + caption + " " + text);
        return Answer::Yes;
    }
    void ShowMessage(const std::string& text) override { m_log.push_back("message " + text); }
    void Beep() override { m_log.push_back("beep"); }
    std::unique_ptr<ProgressDialog> ShowProgress(const std::string& text) override
    {
        m_log.push_back("show " + text);
        return std::make_unique<FakeProgress>(m_log, cancel_at);
    }
    void ProcessMessages() override
    {
        m_log.push_back("messages");
        if (on_messages)
            on_messages();
    }

    // Cancels the dialog when SetProgress gets (max, position).
    std::function<bool(int, int)> cancel_at;
    // Runs inside ProcessMessages (a drop arriving, an option changed).
    std::function<void()> on_messages;

private:
    Log& m_log;
};

class FakeFiles : public FileProcessor
{
public:
    explicit FakeFiles(Log& log) : m_log(log) {}
    FileOutcome ConvertImageFile(const std::string& path) override
    {
        return run("image " + path, path);
    }
    FileOutcome ConvertGifFile(const std::string& path) override
    {
        return run("gif " + path, path);
    }
    FileOutcome FormFileRe(const std::string& path) override { return run("rename " + path, path); }

    std::map<std::string, FileOutcome> outcomes;    // Done for paths not listed
    std::function<void(const std::string&)> during; // runs inside every call

private:
    FileOutcome run(const std::string& entry, const std::string& path)
    {
        m_log.push_back(entry);
        if (during)
            during(path);
        const auto it = outcomes.find(path);
        return it == outcomes.end() ? FileOutcome::Done : it->second;
    }
    Log& m_log;
};

class FakeApp : public ApplicationControl
{
public:
    explicit FakeApp(Log& log) : m_log(log) {}
    void SetTitle(const std::string& title) override { m_log.push_back("title " + title); }
    void Minimize() override { m_log.push_back("minimize"); }
    void ApplyEnableRule() override { m_log.push_back("enable rule"); }
    void Terminate(int status) override { m_log.push_back("terminate " + std::to_string(status)); }

private:
    Log& m_log;
};

// The fakes wired together, with the stop request a test can set.
struct RunRig
{
    Log log;
    FakeOptions options;
    FakeHost host{log};
    FakeFiles files{log};
    FakeApp app{log};
    bool stop = false;
    RunContext ctx{options, host, files, [this] { return stop; }, nullptr};
};

} // namespace zumo::test
