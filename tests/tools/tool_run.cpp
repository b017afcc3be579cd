#include "tool_run.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char **environ;

namespace tooltest {

namespace {

std::string slurp(const std::string &path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

} // namespace

TempFolder::TempFolder()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "wrenlok-tools-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempFolder::~TempFolder()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void TempFolder::write(const std::string &name, const std::string &content) const
{
    std::filesystem::path file = std::filesystem::path(path_) / name;
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << content;
}

ToolRun runTool(const std::string &program, const std::vector<std::string> &args, const w32::Machine &before,
                const RunOptions &options)
{
    TempFolder scratch;
    std::string state = scratch.path() + "/machine";
    std::string in = scratch.path() + "/in", out = scratch.path() + "/out", err = scratch.path() + "/err";
    w32::writeStateFile(before, state);
    scratch.write("in", options.input.value_or(""));

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (options.input)
        posix_spawn_file_actions_addopen(&actions, 0, in.c_str(), O_RDONLY, 0);
    else
        posix_spawn_file_actions_addclose(&actions, 0);
    if (options.withOutput)
        posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    else
        posix_spawn_file_actions_addclose(&actions, 1);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);

    std::vector<std::string> environment;
    for (char **entry = environ; *entry; ++entry)
        if (!std::string(*entry).starts_with(std::string(w32::kStateVariable) + "="))
            environment.push_back(*entry);
    environment.push_back(std::string(w32::kStateVariable) + "=" + state);
    std::vector<char *> envp;
    for (std::string &entry : environment)
        envp.push_back(entry.data());
    envp.push_back(nullptr);

    std::vector<std::string> argvStrings{program};
    argvStrings.insert(argvStrings.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &arg : argvStrings)
        argv.push_back(arg.data());
    argv.push_back(nullptr);

    pid_t pid;
    int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        throw std::runtime_error("cannot start " + program);
    int status = 0;
    waitpid(pid, &status, 0);

    ToolRun run;
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.out = slurp(out);
    run.err = slurp(err);
    run.after = w32::readStateFile(state);
    for (const std::string &leak : eventsOf(run.after, {"open at exit"}))
        ADD_FAILURE() << program << " ended with a handle still open: " << leak;
    return run;
}

void expectNothingOpen()
{
    for (const std::string &path : w32::openKeyPaths())
        ADD_FAILURE() << "registry key left open: " << path;
    EXPECT_EQ(w32::openDeviceInfoSets(), 0u) << "device information sets left undestroyed";
}

std::vector<std::string> eventsOf(const w32::Machine &m, const std::vector<std::string> &prefixes)
{
    std::vector<std::string> events;
    for (const std::string &event : m.journal)
        for (const std::string &prefix : prefixes)
            if (event.starts_with(prefix)) {
                events.push_back(event);
                break;
            }
    return events;
}

} // namespace tooltest
