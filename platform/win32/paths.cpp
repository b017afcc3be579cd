/*
 * Windows paths on the host. Drive Z: is the host's root, as under Wine;
 * tests map other drives to folders of their own.
 */
#include "host/paths.h"
#include "host/machine.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>

namespace w32 {

std::string currentDirectory()
{
    const Machine &m = machine();
    if (m.currentDirectory)
        return *m.currentDirectory;
    std::string cwd(4096, '\0');
    if (!getcwd(cwd.data(), cwd.size()))
        return "Z:\\";
    cwd.resize(cwd.find('\0'));
    std::replace(cwd.begin(), cwd.end(), '/', '\\');
    return "Z:" + cwd;
}

std::optional<std::string> hostPath(std::string_view windowsPath)
{
    if (windowsPath.size() < 3 || windowsPath[1] != ':' || windowsPath[2] != '\\')
        return std::nullopt;
    char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(windowsPath[0])));
    const Machine &m = machine();
    std::string root;
    if (auto mapped = m.drives.find(letter); mapped != m.drives.end())
        root = mapped->second;
    else if (letter != 'Z')
        return std::nullopt;
    std::string rest(windowsPath.substr(2));
    std::replace(rest.begin(), rest.end(), '\\', '/');
    while (!root.empty() && root.back() == '/')
        root.pop_back();
    return root + rest;
}

} // namespace w32
