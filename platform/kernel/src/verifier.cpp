// The bug check: the emulated kernel's only way to stop on a broken rule.
#include <host/kernel.h>

#include <cstdio>
#include <cstdlib>

namespace wrk {

void Bugcheck(const std::string& rule, const std::string& details) {
    std::fprintf(stderr, "*** BUGCHECK: %s: %s\n", rule.c_str(), details.c_str());
    std::fflush(stderr);
    std::abort();
}

}  // namespace wrk
