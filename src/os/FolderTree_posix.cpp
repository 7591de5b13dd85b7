#include "os/FolderTree.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace kestrel::os {

namespace {

std::error_code lastError()
{
    return {errno, std::generic_category()};
}

// Closes the descriptor unless it is the root's.
struct Folder {
    int fd = -1;
    bool owned = false;
    ~Folder()
    {
        if (owned)
            ::close(fd);
    }
};

NodeKind kindOf(mode_t mode)
{
    if (S_ISLNK(mode))
        return NodeKind::Link;
    if (S_ISDIR(mode))
        return NodeKind::Folder;
    return S_ISREG(mode) ? NodeKind::File : NodeKind::Other;
}

} // namespace

// Only the root is held: every other folder is opened afresh for each operation, so that a
// folder moved away meanwhile is not followed to its new place either.
struct FolderTree::Handles {
    int root = -1;

    // The folder that holds `relative`'s last component, walked down from the root.
    std::error_code parentOf(const std::filesystem::path &relative, Folder &folder) const
    {
        folder.fd = root;
        folder.owned = false;
        const std::filesystem::path parent = relative.parent_path();
        for (const std::filesystem::path &component : parent) {
            if (component == "..")
                return std::make_error_code(std::errc::invalid_argument);
            const int next = ::openat(folder.fd, component.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            struct stat info {};
            if (next < 0 && errno == ENOTDIR && ::fstatat(folder.fd, component.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0
                && S_ISLNK(info.st_mode))
                return std::make_error_code(std::errc::too_many_symbolic_link_levels);
            if (next < 0)
                return lastError();
            if (folder.owned)
                ::close(folder.fd);
            folder.fd = next;
            folder.owned = true;
        }
        return {};
    }
};

FolderTree::FolderTree() : m_handles(std::make_unique<Handles>()) {}

FolderTree::~FolderTree()
{
    close();
}

std::error_code FolderTree::open(const std::filesystem::path &root)
{
    close();
    m_handles->root = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return m_handles->root < 0 ? lastError() : std::error_code();
}

void FolderTree::close()
{
    if (m_handles->root >= 0)
        ::close(m_handles->root);
    m_handles->root = -1;
}

NodeKind FolderTree::kind(const std::filesystem::path &relative, std::error_code &error) const
{
    Folder parent;
    struct stat info {};
    if (!(error = m_handles->parentOf(relative, parent))
        && ::fstatat(parent.fd, relative.filename().c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0)
        return kindOf(info.st_mode);
    if (!error)
        error = lastError();
    if (error == std::errc::no_such_file_or_directory) {
        error.clear();
        return NodeKind::Missing;
    }
    return NodeKind::Other;
}

std::error_code FolderTree::rename(const std::filesystem::path &from, const FolderTree &toTree,
                                   const std::filesystem::path &to) const
{
    Folder source;
    Folder destination;
    if (std::error_code error = m_handles->parentOf(from, source))
        return error;
    if (std::error_code error = toTree.m_handles->parentOf(to, destination))
        return error;
    if (::renameat2(source.fd, from.filename().c_str(), destination.fd, to.filename().c_str(), RENAME_NOREPLACE) == 0)
        return {};
    if (errno != EINVAL && errno != ENOSYS)
        return lastError();
    // A file system without the no-replace rename: the check and the rename are two steps there.
    struct stat info {};
    if (::fstatat(destination.fd, to.filename().c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0)
        return std::make_error_code(std::errc::file_exists);
    return ::renameat(source.fd, from.filename().c_str(), destination.fd, to.filename().c_str()) == 0
        ? std::error_code()
        : lastError();
}

std::error_code FolderTree::createFolders(const std::filesystem::path &relative) const
{
    std::filesystem::path made;
    for (const std::filesystem::path &component : relative) {
        made /= component;
        Folder parent;
        if (std::error_code error = m_handles->parentOf(made, parent))
            return error;
        if (::mkdirat(parent.fd, component.c_str(), 0755) != 0 && errno != EEXIST)
            return lastError();
    }
    return {};
}

std::error_code FolderTree::read(const std::filesystem::path &relative,
                                 const std::function<void(const char *, std::size_t)> &block) const
{
    Folder parent;
    if (std::error_code error = m_handles->parentOf(relative, parent))
        return error;
    Folder file;
    file.fd = ::openat(parent.fd, relative.filename().c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (file.fd < 0)
        return lastError();
    file.owned = true;
    struct stat info {};
    if (::fstat(file.fd, &info) != 0)
        return lastError();
    if (!S_ISREG(info.st_mode))
        return std::make_error_code(S_ISDIR(info.st_mode) ? std::errc::is_a_directory : std::errc::invalid_argument);
    constexpr std::size_t kBlock = 256 * 1024;
    const std::unique_ptr<char[]> buffer(new char[kBlock]);  // left uninitialised: read fills it
    for (;;) {
        const ssize_t got = ::read(file.fd, buffer.get(), kBlock);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return lastError();
        if (got == 0)
            return {};
        block(buffer.get(), static_cast<std::size_t>(got));
    }
}

std::error_code FolderTree::list(const std::filesystem::path &relative,
                                 std::vector<std::pair<std::filesystem::path, NodeKind>> &children) const
{
    Folder parent;
    if (std::error_code error = m_handles->parentOf(relative / "x", parent))
        return error;
    const int fd = ::openat(parent.fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *listing = fd < 0 ? nullptr : ::fdopendir(fd);
    if (!listing) {
        const std::error_code error = lastError();
        if (fd >= 0)
            ::close(fd);
        return error;
    }
    errno = 0;
    while (const dirent *entry = ::readdir(listing)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0)
            continue;
        struct stat info {};
        const NodeKind kind = ::fstatat(fd, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 ? kindOf(info.st_mode)
                                                                                            : NodeKind::Other;
        children.emplace_back(entry->d_name, kind);
    }
    const std::error_code error = errno != 0 ? lastError() : std::error_code();
    ::closedir(listing);
    return error;
}

} // namespace kestrel::os
