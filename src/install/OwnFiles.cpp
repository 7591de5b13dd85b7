#include "OwnFiles.h"

namespace kestrel::install {

std::filesystem::file_status linkStatus(const std::filesystem::path &path)
{
    std::error_code ignored;
    return std::filesystem::symlink_status(path, ignored);
}

bool existsHere(const std::filesystem::path &path)
{
    return std::filesystem::exists(linkStatus(path));
}

std::error_code removeOurTree(const std::filesystem::path &path)
{
    std::error_code error;
    std::filesystem::remove_all(path, error);
    return error;
}

} // namespace kestrel::install
