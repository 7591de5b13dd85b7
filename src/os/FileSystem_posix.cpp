#include "FileSystem.h"

#include <sys/stat.h>

#include <filesystem>
#include <system_error>

namespace kestrel::platform {

char nativeSeparator()
{
    return '/';
}

std::string programFolder()
{
    std::error_code error;
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error)
        return std::filesystem::current_path().string();
    return exe.parent_path().string();
}

bool isOrdinaryFile(const std::string &utf8Path)
{
    struct stat info {};
    return ::stat(utf8Path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

} // namespace kestrel::platform
