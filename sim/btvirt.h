// The controller emulator the radios talk to: found where it serves by default,
// or started in a directory of its own so parallel runs do not share controllers.
#pragma once

#include <memory>
#include <string>
#include <sys/types.h>

namespace wsim {

// Where an emulator serves BR/EDR controllers by default.
inline constexpr const char* kDefaultBtvirtSocket = "/tmp/bt-server-bredr";

class Btvirt {
public:
    // Starts `btvirt -s` with a private /tmp (a mount namespace of its own) so
    // its sockets land in a fresh directory; without the right to do that, in
    // the shared /tmp, if nothing serves there yet. Throws std::runtime_error.
    static std::unique_ptr<Btvirt> Start();
    // Stops the emulator (its controllers vanish, which their radios see as the
    // socket closing) and removes its directory.
    ~Btvirt();
    Btvirt(const Btvirt&) = delete;
    Btvirt& operator=(const Btvirt&) = delete;

    const std::string& SocketPath() const { return socketPath_; }
    pid_t Pid() const { return pid_; }
    // Ends the emulator at once, as a crash would.
    void Kill();

private:
    Btvirt(pid_t pid, std::string directory, std::string socketPath);

    pid_t pid_;
    std::string directory_; // empty when serving in the shared /tmp
    std::string socketPath_;
};

// True when something accepts connections at `path`.
bool SocketAnswers(const std::string& path);

} // namespace wsim
