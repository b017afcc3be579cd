#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace w32 {

/* The Windows current directory: the machine's, or the process's on drive Z:. */
std::string currentDirectory();
/* Where a full Windows path lives on this host; none for an unmapped drive. */
std::optional<std::string> hostPath(std::string_view windowsPath);

} // namespace w32
