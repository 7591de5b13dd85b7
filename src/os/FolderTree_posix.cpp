#include "os/FolderTree.h"

#include "os/NameCase.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#ifdef __linux__
#include <linux/fs.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <unordered_map>
#include <unordered_set>

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

NodeKind kindAt(int folder, const char *name, std::error_code &error)
{
    struct stat info {};
    if (::fstatat(folder, name, &info, AT_SYMLINK_NOFOLLOW) == 0)
        return kindOf(info.st_mode);
    if (errno == ENOENT)
        return NodeKind::Missing;
    error = lastError();
    return NodeKind::Other;
}

// The listing's own type where the file system gives one, else a look at the name.
NodeKind kindOf(int folder, const dirent &entry)
{
    switch (entry.d_type) {
    case DT_LNK: return NodeKind::Link;
    case DT_DIR: return NodeKind::Folder;
    case DT_REG: return NodeKind::File;
    case DT_UNKNOWN: break;
    default: return NodeKind::Other;
    }
    std::error_code ignored;
    return kindAt(folder, entry.d_name, ignored);
}

// Folders whose names ignore letter case under rules of their own (Unicode normalisation too).
bool foldsNames(int folder)
{
#if defined(__linux__) && defined(FS_CASEFOLD_FL)
    int flags = 0;
    return ::ioctl(folder, FS_IOC_GETFLAGS, &flags) == 0 && (flags & FS_CASEFOLD_FL) != 0;
#else
    (void)folder;
    return true;
#endif
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

std::error_code FolderTree::open(const FolderTree &from, const std::filesystem::path &relative)
{
    close();
    Folder folder;
    if (std::error_code error = from.m_handles->parentOf(relative / "x", folder))
        return error;
    if (folder.owned) {
        folder.owned = false;  // kept as this tree's root
        m_handles->root = folder.fd;
        return {};
    }
    m_handles->root = ::fcntl(folder.fd, F_DUPFD_CLOEXEC, 0);  // the other tree's root itself
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
    // A small file takes a small buffer: freeing a large one makes the allocator tidy up each time.
    constexpr std::size_t kBlock = 256 * 1024;
    const std::size_t size = std::min<std::size_t>(kBlock, static_cast<std::size_t>(info.st_size) + 1);
    const std::unique_ptr<char[]> buffer(new char[size]);  // left uninitialised: read fills it
    for (;;) {
        const ssize_t got = ::read(file.fd, buffer.get(), size);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return lastError();
        if (got == 0)
            return {};
        block(buffer.get(), static_cast<std::size_t>(got));
    }
}

namespace {

// The kind of each name in the open folder from one listing: a name the listing does not hold,
// not even under another letter case (volumes such as FAT ignore it), is missing; any other is
// looked at by name, which asks the file system itself. False when the folder cannot be listed.
bool kindsFromListing(int folder, const std::vector<std::filesystem::path> &names, std::vector<NodeKind> &found,
                      std::error_code &error)
{
    const int fd = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *listing = fd < 0 ? nullptr : ::fdopendir(fd);
    if (!listing) {
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    std::unordered_map<std::string, NodeKind> present;
    errno = 0;
    while (const dirent *entry = ::readdir(listing)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            present.emplace(entry->d_name, kindOf(fd, *entry));
    }
    if (errno != 0) {
        ::closedir(listing);
        return false;
    }
    std::unordered_set<std::string> keys;  // made at the first name not found as it is spelled
    bool keysMade = false;
    for (std::size_t i = 0; i < names.size() && !error; ++i) {
        const auto exact = present.find(names[i].native());
        if (exact != present.end()) {
            found[i] = exact->second != NodeKind::Missing ? exact->second : kindAt(fd, names[i].c_str(), error);
            continue;
        }
        if (!keysMade) {
            for (const auto &[name, kind] : present)
                keys.insert(nameCaseKey(name));
            keysMade = true;
        }
        if (!keys.empty() && keys.contains(nameCaseKey(names[i].native())))
            found[i] = kindAt(fd, names[i].c_str(), error);
    }
    ::closedir(listing);
    return true;
}

} // namespace

std::error_code FolderTree::kinds(const std::filesystem::path &folder, const std::vector<std::filesystem::path> &names,
                                  std::vector<NodeKind> &found) const
{
    found.assign(names.size(), NodeKind::Missing);
    Folder parent;
    if (std::error_code error = m_handles->parentOf(folder / "x", parent))
        return error == std::errc::no_such_file_or_directory ? std::error_code() : error;
    std::error_code error;
    // Below a few names, looking at each costs less than listing a large folder.
    constexpr std::size_t kListFrom = 16;
    if (names.size() >= kListFrom && !foldsNames(parent.fd) && kindsFromListing(parent.fd, names, found, error))
        return error;
    for (std::size_t i = 0; i < names.size() && !error; ++i)
        found[i] = kindAt(parent.fd, names[i].c_str(), error);
    return error;
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
        const NodeKind kind = kindOf(fd, *entry);
        children.emplace_back(entry->d_name, kind == NodeKind::Missing ? NodeKind::Other : kind);
    }
    const std::error_code error = errno != 0 ? lastError() : std::error_code();
    ::closedir(listing);
    return error;
}

} // namespace kestrel::os
