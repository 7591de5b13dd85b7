#pragma once

// A folder opened once, and the paths below it reached one folder at a time from there without
// following a link: a folder that was swapped for a link (or a junction) after it was looked at
// fails the operation instead of leading somewhere else. One implementation file per operating
// system; free of Qt.

#include "os/FileSystem.h"

#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <system_error>
#include <utility>
#include <vector>

namespace kestrel::os {

class FolderTree {
public:
    FolderTree();
    ~FolderTree();
    FolderTree(const FolderTree &) = delete;
    FolderTree &operator=(const FolderTree &) = delete;

    // The root itself is taken as its path leads to it. Relative paths below hold no "..".
    std::error_code open(const std::filesystem::path &root);
    // A folder below another tree's root as this tree's root, reached from there like any path.
    std::error_code open(const FolderTree &from, const std::filesystem::path &relative);
    // Lets go of every handle (Windows keeps the folders it went through from being renamed or
    // deleted while they are held).
    void close();

    NodeKind kind(const std::filesystem::path &relative, std::error_code &error) const;
    // kind() of each name in the folder, in order, from one listing of the folder where the
    // system allows it; a missing folder holds nothing.
    std::error_code kinds(const std::filesystem::path &folder, const std::vector<std::filesystem::path> &names,
                          std::vector<NodeKind> &found) const;
    // Never replaces what is at `to`: file_exists. A link in place of a folder on either path:
    // too_many_symbolic_link_levels.
    std::error_code rename(const std::filesystem::path &from, const FolderTree &toTree,
                           const std::filesystem::path &to) const;
    // The folder and any missing parent.
    std::error_code createFolders(const std::filesystem::path &relative) const;
    // The bytes of a regular file, block after block; a link or a folder there is an error.
    std::error_code read(const std::filesystem::path &relative,
                         const std::function<void(const char *, std::size_t)> &block) const;
    std::error_code list(const std::filesystem::path &relative,
                         std::vector<std::pair<std::filesystem::path, NodeKind>> &children) const;

private:
    struct Handles;
    std::unique_ptr<Handles> m_handles;
};

} // namespace kestrel::os
