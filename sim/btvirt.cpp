#include "btvirt.h"

#include "socket_transport.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sched.h>
#include <stdexcept>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace wsim {
namespace {

// In the child: gives it a /tmp of its own, backed by `directory`.
bool PrivateTmp(const std::string& directory) {
    if (::unshare(CLONE_NEWNS) != 0) return false;
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return false;
    return ::mount(directory.c_str(), "/tmp", nullptr, MS_BIND, nullptr) == 0;
}

[[noreturn]] void ExecBtvirt(int log) {
    int devNull = ::open("/dev/null", O_RDONLY);
    if (devNull >= 0) ::dup2(devNull, STDIN_FILENO);
    if (log >= 0) {
        ::dup2(log, STDOUT_FILENO);
        ::dup2(log, STDERR_FILENO);
    }
    ::execlp("btvirt", "btvirt", "-s", static_cast<char*>(nullptr));
    _exit(127);
}

} // namespace

bool SocketAnswers(const std::string& path) {
    int fd = ConnectUnixSocket(path);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

Btvirt::Btvirt(pid_t pid, std::string directory, std::string socketPath)
    : pid_(pid), directory_(std::move(directory)), socketPath_(std::move(socketPath)) {}

std::unique_ptr<Btvirt> Btvirt::Start() {
    char pattern[] = "/tmp/wrenlok-btvirt.XXXXXX";
    if (!::mkdtemp(pattern)) throw std::runtime_error(std::string("mkdtemp: ") + std::strerror(errno));
    std::string directory = pattern;
    std::string logPath = directory + "/btvirt.log"; // built before fork: the child must not allocate
    // A pipe tells the parent which /tmp the child got before it runs btvirt.
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        ::close(report[0]);
        // A run that crashes must not leave its emulator behind.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        // Opened before /tmp changes under the child.
        int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        char privateTmp = PrivateTmp(directory) ? 1 : 0;
        if (::write(report[1], &privateTmp, 1) != 1) _exit(126);
        ExecBtvirt(log);
    }
    ::close(report[1]);
    char privateTmp = 0;
    bool reported = ::read(report[0], &privateTmp, 1) == 1;
    ::close(report[0]);
    std::string socketPath = privateTmp ? directory + "/bt-server-bredr" : kDefaultBtvirtSocket;
    std::unique_ptr<Btvirt> btvirt(new Btvirt(pid, privateTmp ? directory : std::string(), socketPath));
    if (!reported) throw std::runtime_error("btvirt could not be started");
    if (!privateTmp) std::filesystem::remove_all(directory);

    // The socket exists a moment before it listens; the emulator starts in milliseconds.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!SocketAnswers(socketPath)) {
        int status;
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            btvirt->pid_ = -1;
            throw std::runtime_error("btvirt ended at start (is bluez-test-tools installed?)");
        }
        if (std::chrono::steady_clock::now() > deadline) throw std::runtime_error("btvirt never listened");
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return btvirt;
}

void Btvirt::Kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

Btvirt::~Btvirt() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
    }
    if (!directory_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(directory_, ignored);
    }
}

} // namespace wsim
