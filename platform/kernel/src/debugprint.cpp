// DbgPrint: the kernel debugger's output, kept for tests to read.
#include <host/kernel.h>

#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace wrk {
namespace {

bool EchoRequestedByEnvironment() {
    const char* value = std::getenv("WRENLOK_DEBUG_ECHO");
    return value != nullptr && std::strcmp(value, "1") == 0;
}

struct DebugLog {
    std::mutex lock;
    std::condition_variable grew;
    std::vector<std::string> messages;
    std::string text;
    bool echo = EchoRequestedByEnvironment();
};

DebugLog& Log() {
    static DebugLog* log = new DebugLog;  // outlives detached threads
    return *log;
}

size_t CountLocked(const std::string& text, const std::string& needle) {
    if (needle.empty()) {
        return 0;
    }
    size_t count = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size())) {
        ++count;
    }
    return count;
}

void Record(std::string message) {
    DebugLog& log = Log();
    std::lock_guard guard(log.lock);
    if (log.echo) {
        std::fputs(message.c_str(), stderr);
    }
    log.text += message;
    log.messages.push_back(std::move(message));
    log.grew.notify_all();
}

}  // namespace

std::vector<std::string> DebugMessages() {
    std::lock_guard guard(Log().lock);
    return Log().messages;
}

std::string DebugText() {
    std::lock_guard guard(Log().lock);
    return Log().text;
}

std::vector<std::string> DebugLines() {
    std::string text = DebugText();
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', start)) {
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    if (start < text.size()) {
        lines.push_back(text.substr(start));
    }
    return lines;
}

size_t DebugCount(const std::string& needle) {
    std::lock_guard guard(Log().lock);
    return CountLocked(Log().text, needle);
}

bool WaitForDebugText(const std::string& needle, size_t occurrences, std::chrono::milliseconds realTimeout) {
    DebugLog& log = Log();
    std::unique_lock guard(log.lock);
    return log.grew.wait_for(guard, realTimeout,
                             [&] { return CountLocked(log.text, needle) >= occurrences; });
}

void ClearDebugMessages() {
    std::lock_guard guard(Log().lock);
    Log().messages.clear();
    Log().text.clear();
}

void SetDebugEcho(bool echo) {
    std::lock_guard guard(Log().lock);
    Log().echo = echo;
}

namespace detail {

void ResetDebugEcho() {
    SetDebugEcho(EchoRequestedByEnvironment());
}

}  // namespace detail
}  // namespace wrk

extern "C" ULONG DbgPrint(PCSTR Format, ...) {
    if (Format == nullptr) {
        return STATUS_SUCCESS;
    }
    va_list args;
    va_start(args, Format);
    va_list measure;
    va_copy(measure, args);
    int length = std::vsnprintf(nullptr, 0, Format, measure);
    va_end(measure);
    std::string message(length > 0 ? static_cast<size_t>(length) : 0, '\0');
    if (length > 0) {
        std::vsnprintf(message.data(), message.size() + 1, Format, args);
    }
    va_end(args);
    wrk::Record(std::move(message));
    return STATUS_SUCCESS;
}
