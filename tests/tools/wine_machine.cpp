#include "wine_machine.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

extern char **environ;

namespace fs = std::filesystem;

namespace tooltest {

namespace {

/* A program that does not end in this time is taken for hung and ended by `timeout`. */
constexpr const char *kRunLimitSeconds = "60";

std::string slurp(const std::string &path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    std::string content = text.str();
    std::erase(content, '\r');
    return content;
}

/* Runs a host command in the prefix; io names the files that take its standard streams. */
int runInPrefix(std::vector<std::string> args, const std::string &prefix, const std::string &arch,
                const std::string &folder, const std::string &io, const std::string &input)
{
    std::ofstream(io + ".in", std::ios::binary) << input;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, (io + ".in").c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, (io + ".out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, (io + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (!folder.empty())
        posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());

    std::vector<std::string> environment;
    for (char **entry = environ; *entry; ++entry)
        environment.push_back(*entry);
    environment.push_back("WINEPREFIX=" + prefix);
    environment.push_back("WINEARCH=" + arch);
    environment.push_back("WINEDEBUG=-all");
    environment.push_back("WINEDLLOVERRIDES=mscoree,mshtml=");
    std::vector<char *> envp, argv;
    for (std::string &entry : environment)
        envp.push_back(entry.data());
    envp.push_back(nullptr);
    for (std::string &arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);

    pid_t pid;
    int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

/* Wine's libraries are only read once the prefix is set up: they are linked, the rest is copied. */
void copyPrefix(const fs::path &from, const fs::path &to)
{
    const fs::path libraries = fs::path("drive_c") / "windows";
    fs::create_directories(to / libraries);
    for (const fs::directory_entry &entry : fs::directory_iterator(from)) {
        std::string name = entry.path().filename().string();
        /* The server's lock belongs to the pristine prefix's own server. */
        if (name == "wineserver" || name == "drive_c")
            continue;
        fs::copy(entry.path(), to / name, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    }
    for (const fs::directory_entry &entry : fs::directory_iterator(from / "drive_c")) {
        if (entry.path().filename() != "windows")
            fs::copy(entry.path(), to / "drive_c" / entry.path().filename(),
                     fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    }
    for (const fs::directory_entry &entry : fs::directory_iterator(from / libraries)) {
        std::string name = entry.path().filename().string();
        auto options = fs::copy_options::recursive | fs::copy_options::copy_symlinks;
        if (name == "system32" || name == "syswow64" || name == "winsxs")
            options |= fs::copy_options::create_hard_links;
        fs::copy(entry.path(), to / libraries / name, options);
    }
}

} // namespace

WinePristinePrefix::WinePristinePrefix(std::string arch) : arch_(std::move(arch))
{
    if (const char *prepared = std::getenv(kPristinePrefixVariable); prepared && *prepared) {
        path_ = prepared;
        ready_ = fs::exists(path_ + "/system.reg");
        return;
    }
    own_ = true;
    path_ = folder_.path() + "/wine";
    std::string io = folder_.path() + "/io";
    ready_ = runInPrefix({"wineboot", "-i"}, path_, arch_, "", io, "") == 0 &&
             runInPrefix({"wineserver", "-w"}, path_, arch_, "", io, "") == 0;
}

WinePristinePrefix::~WinePristinePrefix()
{
    if (own_)
        runInPrefix({"wineserver", "-k"}, path_, arch_, "", folder_.path() + "/io", "");
}

WineMachine::WineMachine(const WinePristinePrefix &pristine)
    : prefix_(folder_.path() + "/wine"), arch_(pristine.arch())
{
    copyPrefix(pristine.path(), prefix_);
}

WineMachine::~WineMachine()
{
    runInPrefix({"wineserver", "-k"}, prefix_, arch_, "", folder_.path() + "/io", "");
}

WineRun WineMachine::run(const std::vector<std::string> &args, const std::string &folder, const std::string &input)
{
    std::vector<std::string> command{"timeout", kRunLimitSeconds, "wine"};
    command.insert(command.end(), args.begin(), args.end());
    std::string io = folder_.path() + "/io";
    WineRun run;
    run.exitCode = runInPrefix(command, prefix_, arch_, folder.empty() ? folder_.path() : folder, io, input);
    run.out = slurp(io + ".out");
    run.err = slurp(io + ".err");
    return run;
}

} // namespace tooltest
