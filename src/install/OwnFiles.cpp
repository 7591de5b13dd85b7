#include "OwnFiles.h"

#include "FileSystem.h"

namespace kestrel::install {

std::filesystem::file_status linkStatus(const std::filesystem::path &path)
{
    using std::filesystem::file_type;
    std::error_code ignored;
    switch (platform::nodeKind(path, ignored)) {
    case platform::NodeKind::Missing: return std::filesystem::file_status(file_type::not_found);
    case platform::NodeKind::File: return std::filesystem::file_status(file_type::regular);
    case platform::NodeKind::Folder: return std::filesystem::file_status(file_type::directory);
    case platform::NodeKind::Link: return std::filesystem::file_status(file_type::symlink);
    case platform::NodeKind::Other: break;
    }
    return std::filesystem::file_status(file_type::unknown);
}

bool existsHere(const std::filesystem::path &path)
{
    return std::filesystem::exists(linkStatus(path));
}

std::error_code removeOurTree(const std::filesystem::path &path)
{
    return platform::removeTree(path);
}

} // namespace kestrel::install
