#include "os/FileSystem.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
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

// One folder on the way down: its identity, to recognise it when coming back up through "..",
// and the names still to remove in it.
struct Level {
    dev_t device;
    ino_t inode;
    std::string name;  // in its parent
    std::vector<std::string> pending;
};

std::error_code listNames(int folder, std::vector<std::string> &names)
{
    const int listed = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *listing = listed < 0 ? nullptr : ::fdopendir(listed);
    if (!listing) {
        const std::error_code error = lastError();
        if (listed >= 0)
            ::close(listed);
        return error;
    }
    // All names first: a folder changed while it is read may skip some.
    errno = 0;
    while (const dirent *entry = ::readdir(listing)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            names.emplace_back(entry->d_name);
    }
    const std::error_code error = errno != 0 ? lastError() : std::error_code();
    ::closedir(listing);
    return error;
}

// Each node is named relative to an open folder, so that no link met on the way is followed.
// Only the folder being emptied is held open: the way back up is "..", checked to be the folder
// that was left, so that any depth takes two descriptors. Goes on after a failure.
std::error_code removeAt(int top, const char *topName)
{
    struct stat info {};
    if (::fstatat(top, topName, &info, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? std::error_code() : lastError();
    if (!S_ISDIR(info.st_mode))
        return ::unlinkat(top, topName, 0) == 0 || errno == ENOENT ? std::error_code() : lastError();
    std::error_code first;
    const auto note = [&first](const std::error_code &error) {
        if (!first)
            first = error;
    };
    std::vector<Level> levels;
    int current = -1;
    const auto enter = [&](int parent, const std::string &name) {
        const int folder = ::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        struct stat seen {};
        if (folder < 0 || ::fstat(folder, &seen) != 0) {
            note(lastError());
            if (folder >= 0)
                ::close(folder);
            return false;
        }
        Level level{seen.st_dev, seen.st_ino, name, {}};
        note(listNames(folder, level.pending));
        levels.push_back(std::move(level));
        if (current >= 0)
            ::close(current);
        current = folder;
        return true;
    };
    if (!enter(top, topName))
        return first;
    while (!levels.empty()) {
        Level &level = levels.back();
        if (!level.pending.empty()) {
            const std::string name = std::move(level.pending.back());
            level.pending.pop_back();
            if (::fstatat(current, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
                if (errno != ENOENT)
                    note(lastError());
            } else if (S_ISDIR(info.st_mode)) {
                enter(current, name);
            } else if (::unlinkat(current, name.c_str(), 0) != 0 && errno != ENOENT) {
                note(lastError());
            }
            continue;
        }
        const std::string name = level.name;
        levels.pop_back();
        int parent = top;
        if (!levels.empty()) {
            parent = ::openat(current, "..", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            struct stat seen {};
            if (parent < 0 || ::fstat(parent, &seen) != 0 || seen.st_dev != levels.back().device
                || seen.st_ino != levels.back().inode) {
                // The folder was moved meanwhile: nothing above it can be reached safely.
                note(parent < 0 ? lastError() : std::make_error_code(std::errc::too_many_symbolic_link_levels));
                if (parent >= 0)
                    ::close(parent);
                ::close(current);
                return first;
            }
        }
        ::close(current);
        current = parent == top ? -1 : parent;
        if (::unlinkat(parent, name.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT)
            note(lastError());
    }
    return first;
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

// Read where the system shows it: setting the mask to read it back would change it for the other
// threads meanwhile. The usual 022 when it cannot be read.
static mode_t creationMask()
{
    std::FILE *status = std::fopen("/proc/self/status", "re");
    unsigned mask = 022;
    char line[256];
    while (status && std::fgets(line, sizeof line, status))
        if (std::sscanf(line, "Umask: %o", &mask) == 1)
            break;
    if (status)
        std::fclose(status);
    return static_cast<mode_t>(mask & 0777U);
}

std::error_code setPermissionBits(const std::filesystem::path &file, unsigned permissions)
{
    const int handle = ::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (handle < 0)
        return lastError();
    struct stat info {};
    std::error_code error;
    if (::fstat(handle, &info) != 0)
        error = lastError();
    else if (!S_ISREG(info.st_mode))
        error = std::make_error_code(std::errc::not_supported);
    else if (::fchmod(handle, static_cast<mode_t>(permissions & 0777U & ~creationMask())) != 0)
        error = lastError();
    ::close(handle);
    return error;
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
