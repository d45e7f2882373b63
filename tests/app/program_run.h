// Running the real program as a user runs it: a copy of the built zumo with
// its "spi" folder in a scratch folder, the settings file beside it, and the
// outputs, standard error, exit status and settings file read afterwards.
// Shared by the command-line tests and the desktop tests.
#pragma once

#include <QImage>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace program_run {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// ---- files ------------------------------------------------------------------

inline std::string read_text(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void write_text(const fs::path& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

inline void write_picture(const fs::path& path, int width, int height, const char* format)
{
    QImage image(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            image.setPixel(x, y, qRgb(x * 255 / width, y * 255 / height, (x ^ y) & 0xFF));
    ASSERT_TRUE(image.save(QString::fromStdString(path.string()), format)) << path;
}

inline QSize picture_size(const fs::path& path)
{
    return QImage(QString::fromStdString(path.string())).size();
}

inline std::vector<std::string> names_in(const fs::path& folder)
{
    std::vector<std::string> names;
    if (fs::is_directory(folder))
        for (const auto& entry : fs::directory_iterator(folder))
            names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// ---- the settings file --------------------------------------------------------

struct IniLine
{
    std::string section, key, value;
    bool operator==(const IniLine&) const = default;
};

inline std::vector<IniLine> ini_keys(const std::string& text)
{
    std::vector<IniLine> keys;
    std::istringstream in(text);
    std::string section;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!line.empty() && line.front() == '[') {
            section = line.substr(1, line.find(']') - 1);
        } else if (const auto eq = line.find('='); eq != std::string::npos && line[0] != ';') {
            keys.push_back({section, line.substr(0, eq), line.substr(eq + 1)});
        }
    }
    return keys;
}

inline std::string ini_value(const std::string& text, const std::string& section,
                             const std::string& key)
{
    for (const IniLine& line : ini_keys(text))
        if (line.section == section && line.key == key)
            return line.value;
    return "<missing>";
}

// The keys of "Form1" in the order the program reads and writes them.
inline const std::vector<std::string> k_form1_keys = {
    "CheckBox1.Checked",
    "CheckBox3.Checked",
    "CheckBox4.Checked",
    "CheckBox5.Checked",
    "CheckBox6.Checked",
    "CheckBox7.Checked",
    "CheckBox8.Checked",
    " UpDown1.Position",
    " UpDown2.Position",
    " UpDown3.Position",
    "RadioGroup1.ItemIndex",
    "RadioGroup2.ItemIndex",
    "RadioGroup3.ItemIndex",
    "RadioGroup4.ItemIndex",
    "RadioGroup5.ItemIndex",
    "RadioGroup6.ItemIndex",
    "RadioGroup7.ItemIndex",
    "RadioGroup8.ItemIndex",
    "RadioGroup9.ItemIndex",
    "RadioGroup10.ItemIndex",
    "Edit1.Text",
    "Edit5.Text",
    "Edit6.Text",
    "Edit7.Text",
    "CheckBox9.Checked",
    "CheckBox10.Checked",
    "CheckBox11.Checked",
};

// ---- running the program ------------------------------------------------------

struct Result
{
    int status = -1; // exit status; 128 + n for signal n
    std::string out, err;
};

// Starts program with args and the environment env (NAME=value), standard
// output and error into the files out and err, no standard input. Returns
// the process id, or -1.
inline pid_t spawn(const std::string& program, const std::vector<std::string>& args,
                   std::vector<std::string> env, const fs::path& out, const fs::path& err)
{
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (std::string& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    pid_t pid = -1;
    const int failed =
        posix_spawnp(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    return failed ? -1 : pid;
}

// This process's environment without the variables named in drop.
inline std::vector<std::string> environment_without(const std::vector<std::string>& drop)
{
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        if (std::find(drop.begin(), drop.end(), entry.substr(0, entry.find('='))) == drop.end())
            env.push_back(entry);
    }
    return env;
}

// The program copied into its own folder, so that the settings file and the
// plug-in folder beside the executable are the test's own.
class Installation
{
public:
    Installation()
    {
        std::string pattern = (fs::temp_directory_path() / "zumo-cli-XXXXXX").string();
        root = ::mkdtemp(pattern.data());
        app = root / "app";
        pictures = root / "pictures";
        fs::create_directories(app);
        fs::create_directories(pictures);
        fs::create_directories(root / "config");
        fs::create_directories(root / "runtime");
        fs::permissions(root / "runtime", fs::perms::owner_all);
        // A hard link runs as its own path, like a copy, without copying.
        std::error_code no_link;
        fs::create_hard_link(ZUMO_EXECUTABLE, app / "zumo", no_link);
        if (no_link)
            fs::copy_file(ZUMO_EXECUTABLE, app / "zumo");
        // The helper that serves the plug-ins sits beside the program.
        const fs::path helper = fs::path(ZUMO_EXECUTABLE).parent_path() / "zumo-spi-host";
        if (fs::exists(helper)) {
            fs::create_hard_link(helper, app / "zumo-spi-host", no_link);
            if (no_link)
                fs::copy_file(helper, app / "zumo-spi-host");
        }
        if (fs::is_directory(ZUMO_PLUGIN_FOLDER))
            fs::copy(ZUMO_PLUGIN_FOLDER, app / "spi");
    }
    ~Installation()
    {
        std::error_code ignored;
        for (const fs::path& p : {app, root / "config"})
            fs::permissions(p, fs::perms::owner_all, ignored);
        fs::remove_all(root, ignored);
    }

    fs::path ini() const { return app / "zumo.ini"; }
    std::string picture(const std::string& name) const { return (pictures / name).string(); }

    // Starts the program with args; outputs go to files in the scratch folder.
    pid_t start(const std::vector<std::string>& args)
    {
        std::vector<std::string> env =
            environment_without({"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "XDG_CONFIG_HOME",
                                 "XDG_RUNTIME_DIR", "XDG_STATE_HOME", "XDG_CACHE_HOME"});
        env.push_back("XDG_CONFIG_HOME=" + (root / "config").string());
        env.push_back("XDG_STATE_HOME=" + (root / "state").string());
        env.push_back("XDG_CACHE_HOME=" + (root / "cache").string());
        if (runtime_folder)
            env.push_back("XDG_RUNTIME_DIR=" + (root / "runtime").string());
        env.insert(env.end(), extra_environment.begin(), extra_environment.end());

        const std::string program = (app / "zumo").string();
        const pid_t pid = spawn(program, args, env, root / "stdout", root / "stderr");
        EXPECT_GT(pid, 0);
        return pid;
    }

    // Waits for the program; one that has not ended after two minutes is
    // killed and counts as a hang.
    Result finish(pid_t pid)
    {
        Result result;
        if (pid <= 0)
            return result;
        const auto deadline = std::chrono::steady_clock::now() + 120s;
        int status = 0;
        while (::waitpid(pid, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                ::kill(pid, SIGKILL);
                ::waitpid(pid, &status, 0);
                ADD_FAILURE() << "zumo did not end";
                break;
            }
            std::this_thread::sleep_for(10ms);
        }
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        result.out = read_text(root / "stdout");
        result.err = read_text(root / "stderr");
        return result;
    }

    Result run(const std::vector<std::string>& args) { return finish(start(args)); }

    fs::path root, app, pictures;
    std::vector<std::string> extra_environment; // NAME=value for the program
    bool runtime_folder = true;                 // XDG_RUNTIME_DIR set
};

// Whether the program has installed its SIGTERM handler (waits for it up
// to a minute), so that a signal sent now is a stop request.
inline bool catches_sigterm(pid_t pid)
{
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    const std::string status_file = "/proc/" + std::to_string(pid) + "/status";
    while (std::chrono::steady_clock::now() < deadline) {
        std::istringstream status(read_text(status_file));
        for (std::string line; std::getline(status, line);) {
            if (line.rfind("SigCgt:", 0) == 0 &&
                (std::stoull(line.substr(7), nullptr, 16) >> (SIGTERM - 1) & 1) != 0)
                return true;
        }
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

// The lines of standard error that the program itself wrote (Qt may add
// its own warnings).
inline std::vector<std::string> zumo_lines(const std::string& err)
{
    std::vector<std::string> lines;
    std::istringstream in(err);
    for (std::string line; std::getline(in, line);)
        if (line.rfind("zumo: ", 0) == 0)
            lines.push_back(line);
    return lines;
}

// A settings file as an earlier run would leave it, with overrides.
inline std::string settings(const std::vector<std::pair<std::string, std::string>>& overrides,
                            const std::string& window = "Maximized=0\nWidth=440\nHeight=430\n"
                                                        "Top=50\nLeft=60\n")
{
    std::vector<std::pair<std::string, std::string>> values = {
        {"CheckBox1.Checked", "0"},
        {"CheckBox3.Checked", "0"},
        {"CheckBox4.Checked", "0"},
        {"CheckBox5.Checked", "0"},
        {"CheckBox6.Checked", "1"},
        {"CheckBox7.Checked", "0"},
        {"CheckBox8.Checked", "0"},
        {" UpDown1.Position", "92"},
        {" UpDown2.Position", "0"},
        {" UpDown3.Position", "100"},
        {"RadioGroup1.ItemIndex", "0"},
        {"RadioGroup2.ItemIndex", "1"},
        {"RadioGroup3.ItemIndex", "0"},
        {"RadioGroup4.ItemIndex", "0"},
        {"RadioGroup5.ItemIndex", "1"},
        {"RadioGroup6.ItemIndex", "0"},
        {"RadioGroup7.ItemIndex", "3"},
        {"RadioGroup8.ItemIndex", "0"},
        {"RadioGroup9.ItemIndex", "1"},
        {"RadioGroup10.ItemIndex", "0"},
        {"Edit1.Text", ""},
        {"Edit5.Text", "new"},
        {"Edit6.Text", ""},
        {"Edit7.Text", "resize"},
    };
    for (const auto& [key, value] : overrides)
        for (auto& entry : values)
            if (entry.first == key)
                entry.second = value;
    std::string text = "[Form1]\n";
    for (const auto& [key, value] : values)
        text += key + "=" + value + "\n";
    return text + "\n[Window]\n" + window;
}

} // namespace program_run
