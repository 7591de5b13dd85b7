#include "os/FileSystem.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

namespace kestrel::os {

namespace {

std::error_code lastError()
{
    return {errno, std::generic_category()};
}

std::error_code removeAt(int parent, const char *name);

// Empties the folder open as folder, a descriptor that this call takes over.
std::error_code removeContents(int folder)
{
    DIR *listing = ::fdopendir(folder);
    if (!listing) {
        const std::error_code error = lastError();
        ::close(folder);
        return error;
    }
    // All names first: a folder changed while it is read may skip some.
    std::vector<std::string> names;
    std::error_code first;
    errno = 0;
    while (const dirent *entry = ::readdir(listing)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            names.emplace_back(entry->d_name);
    }
    if (errno != 0)
        first = lastError();
    for (const std::string &name : names) {
        const std::error_code error = removeAt(::dirfd(listing), name.c_str());
        if (!first)
            first = error;
    }
    ::closedir(listing);
    return first;
}

// Each step names its node relative to an open folder, so that no link met on the way is followed.
std::error_code removeAt(int parent, const char *name)
{
    struct stat info {};
    if (::fstatat(parent, name, &info, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? std::error_code() : lastError();
    if (!S_ISDIR(info.st_mode))
        return ::unlinkat(parent, name, 0) == 0 || errno == ENOENT ? std::error_code() : lastError();
    const int folder = ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (folder < 0)
        return lastError();
    if (const std::error_code error = removeContents(folder))
        return error;
    return ::unlinkat(parent, name, AT_REMOVEDIR) == 0 ? std::error_code() : lastError();
}

} // namespace

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

NodeKind nodeKind(const std::filesystem::path &path, std::error_code &error)
{
    error.clear();
    // A trailing separator would make the system follow a link there.
    std::string node = path.native();
    while (node.size() > 1 && node.back() == '/')
        node.pop_back();
    struct stat info {};
    if (::lstat(node.c_str(), &info) != 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            return NodeKind::Missing;
        error = lastError();
        return NodeKind::Other;
    }
    if (S_ISLNK(info.st_mode))
        return NodeKind::Link;
    if (S_ISDIR(info.st_mode))
        return NodeKind::Folder;
    return S_ISREG(info.st_mode) ? NodeKind::File : NodeKind::Other;
}

std::error_code removeTree(const std::filesystem::path &path)
{
    std::filesystem::path node = path;
    while (!node.has_filename() && node.has_relative_path())
        node = node.parent_path();
    const std::string name = node.filename().string();
    if (name.empty() || name == "." || name == "..")
        return std::make_error_code(std::errc::invalid_argument);
    const std::filesystem::path parent = node.has_parent_path() ? node.parent_path() : ".";
    const int folder = ::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0)
        return errno == ENOENT ? std::error_code() : lastError();
    const std::error_code error = removeAt(folder, name.c_str());
    ::close(folder);
    return error;
}

} // namespace kestrel::os
