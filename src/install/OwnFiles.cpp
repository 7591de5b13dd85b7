#include "install/OwnFiles.h"

#include "os/FileSystem.h"

namespace kestrel::install {

std::filesystem::file_status linkStatus(const std::filesystem::path &path)
{
    using std::filesystem::file_type;
    std::error_code ignored;
    switch (os::nodeKind(path, ignored)) {
    case os::NodeKind::Missing: return std::filesystem::file_status(file_type::not_found);
    case os::NodeKind::File: return std::filesystem::file_status(file_type::regular);
    case os::NodeKind::Folder: return std::filesystem::file_status(file_type::directory);
    case os::NodeKind::Link: return std::filesystem::file_status(file_type::symlink);
    case os::NodeKind::Other: break;
    }
    return std::filesystem::file_status(file_type::unknown);
}

bool existsHere(const std::filesystem::path &path)
{
    return std::filesystem::exists(linkStatus(path));
}

std::error_code removeOurTree(const std::filesystem::path &path)
{
    return os::removeTree(path);
}

std::filesystem::path withoutTrailingSeparator(const std::filesystem::path &folder)
{
    const std::filesystem::path normal = folder.lexically_normal();
    return normal.has_filename() || normal == normal.root_path() ? normal : normal.parent_path();
}

} // namespace kestrel::install
