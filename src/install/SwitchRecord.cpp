#include "install/SwitchRecord.h"

#include "install/EntryPath.h"
#include "install/OwnFiles.h"
#include "os/DiskSync.h"
#include "os/OutputFile.h"
#include "install/EngineTypes.h"


#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace kestrel::install {

namespace {

const char *const kHeader = "kestrel-switch 2";
const char *const kMarkerName = kStagingMarkerName;

SwitchPointHook g_switchHook = nullptr;
SwitchPointHook g_undoHook = nullptr;
WorkerStartHook g_workerHook = nullptr;

// Entry names may hold any byte but '/': line breaks and '%' are escaped.
std::string escaped(const std::string &text)
{
    std::string out;
    for (const char c : text) {
        if (c == '%' || c == '\n' || c == '\r') {
            static const char digits[] = "0123456789ABCDEF";
            const auto byte = static_cast<unsigned char>(c);
            out += '%';
            out += digits[byte >> 4];
            out += digits[byte & 15];
        } else {
            out += c;
        }
    }
    return out;
}

std::optional<std::string> unescaped(const std::string &text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (i + 2 >= text.size())
            return std::nullopt;
        const std::string hex = text.substr(i + 1, 2);
        if (hex.find_first_not_of("0123456789ABCDEF") != std::string::npos)
            return std::nullopt;
        out += static_cast<char>(std::stoi(hex, nullptr, 16));
        i += 2;
    }
    return out;
}

std::string utf8(const fs::path &path)
{
    const std::u8string text = path.u8string();
    return {text.begin(), text.end()};
}

fs::path fromUtf8(const std::string &text)
{
    return fs::path(std::u8string(text.begin(), text.end()));
}


} // namespace

void setSwitchPointHook(SwitchPointHook hook)
{
    g_switchHook = hook;
}

void setUndoPointHook(SwitchPointHook hook)
{
    g_undoHook = hook;
}

void setWorkerStartHook(WorkerStartHook hook)
{
    g_workerHook = hook;
}

void workerStarting()
{
    if (g_workerHook)
        g_workerHook();
}

std::error_code switchPoint(std::size_t point)
{
    return g_switchHook ? g_switchHook(point) : std::error_code();
}

fs::path underFolder(const fs::path &folder, const std::string &relative)
{
    fs::path path = folder;
    for (const std::string &component : readEntryPath(relative).components)
        path /= fromUtf8(component);
    return path;
}

std::error_code SwitchTrees::open(const SwitchPaths &paths)
{
    if (const std::error_code error = m_target.open(paths.target))
        return error;
    const fs::path inside = paths.staging.lexically_relative(paths.target);
    if (!inside.empty() && *inside.begin() != ".." && inside != ".") {
        m_staging = &m_target;
        m_stagingBelow = inside;
    } else {
        m_staging = &m_ownStaging;
        m_stagingBelow.clear();
        if (const std::error_code error = m_ownStaging.open(paths.staging))
            return error;
    }
    // The staged files' folder is held, which spares opening it again for each of their renames:
    // moved away meanwhile, it still holds nothing but files of the package. Where it cannot be
    // opened (gone, or a link), its paths are walked like any other and found missing.
    m_contentOpen = !m_content.open(*m_staging, m_stagingBelow / "content");
    return {};
}

void SwitchTrees::close()
{
    m_target.close();
    m_ownStaging.close();
    m_content.close();
    m_contentOpen = false;
}

SwitchTrees::Spot SwitchTrees::target(const std::string &relative) const
{
    return {&m_target, underFolder({}, relative)};
}

SwitchTrees::Spot SwitchTrees::content(const std::string &relative) const
{
    if (m_contentOpen)
        return {&m_content, underFolder({}, relative)};
    return {m_staging, underFolder(m_stagingBelow / "content", relative)};
}

SwitchTrees::Spot SwitchTrees::backup(const std::string &relative) const
{
    return {m_staging, underFolder(m_stagingBelow / "backup", relative)};
}

SwitchTrees::Spot SwitchTrees::source(const Move &move) const
{
    return move.kind == Move::Kind::Backup ? target(move.relative) : content(move.relative);
}

SwitchTrees::Spot SwitchTrees::destination(const Move &move) const
{
    return move.kind == Move::Kind::Backup ? backup(move.relative) : target(move.relative);
}

std::error_code renameSpot(const SwitchTrees::Spot &from, const SwitchTrees::Spot &to)
{
    return from.tree->rename(from.relative, *to.tree, to.relative);
}

os::NodeKind kindAt(const SwitchTrees::Spot &spot, std::error_code &error)
{
    return spot.tree->kind(spot.relative, error);
}

// Reading refuses anything but a regular file; only when it fails is the kind looked at, to tell
// a missing or other node (no file there) from a file that could not be read.
std::optional<NewFile> fileAt(const SwitchTrees::Spot &spot, std::error_code &error)
{
    NewFile found;
    error = spot.tree->read(spot.relative, [&found](const char *data, std::size_t size) {
        found.crc = crc32Of(found.crc, data, size);
        found.size += size;
    });
    if (!error)
        return found;
    const std::error_code readError = error;
    if (kindAt(spot, error) != os::NodeKind::File || error)
        return std::nullopt;
    if (readError != std::errc::no_such_file_or_directory)
        error = readError;
    return std::nullopt;
}

std::error_code writeRecord(const SwitchPaths &paths, const std::vector<Move> &moves, const NewFiles &files)
{
    std::string text = std::string(kHeader) + "\ntarget " + escaped(utf8(paths.target)) + "\n";
    for (const Move &move : moves)
        text += std::string(1, static_cast<char>(move.kind)) + ' ' + escaped(move.relative) + '\n';
    for (const auto &[relative, file] : files)
        text += "F " + std::to_string(file.size) + ' ' + std::to_string(file.crc) + ' ' + escaped(relative) + '\n';
    text += "end " + std::to_string(moves.size()) + ' ' + std::to_string(files.size()) + "\n";
    const fs::path temporary = paths.staging / "switch-record.new";
    os::OutputFile out;
    std::error_code error = out.open(temporary, 0644);
    if (!error)
        error = out.writeAt(0, text.data(), text.size());
    if (!error)
        error = out.close();
    if (!error)
        error = os::syncFile(temporary);
    if (!error)
        fs::rename(temporary, paths.record(), error);
    if (!error)
        error = os::syncFolder(paths.staging);
    return error;
}

bool readRecord(const fs::path &staging, fs::path &target, std::vector<Move> &moves, NewFiles &files)
{
    if (!fs::is_regular_file(linkStatus(staging / "switch-record")))
        return false;
    std::ifstream in(staging / "switch-record", std::ios::binary);
    std::string line;
    if (!std::getline(in, line) || line != kHeader || !std::getline(in, line) || line.rfind("target ", 0) != 0)
        return false;
    const auto targetText = unescaped(line.substr(7));
    if (!targetText || !fromUtf8(*targetText).is_absolute())
        return false;
    target = fromUtf8(*targetText);
    const auto inside = [](const std::optional<std::string> &relative) {
        return relative && readEntryPath(*relative).verdict == PathVerdict::Inside;
    };
    while (std::getline(in, line)) {
        if (line == "end " + std::to_string(moves.size()) + ' ' + std::to_string(files.size()))
            return true;
        if (line.rfind("F ", 0) == 0) {
            std::istringstream fields(line.substr(2));
            NewFile file;
            std::string rest;
            if (!(fields >> file.size >> file.crc) || fields.get() != ' ' || !std::getline(fields, rest))
                return false;
            const auto relative = unescaped(rest);
            if (!inside(relative))
                return false;
            files[*relative] = file;
            continue;
        }
        const auto relative = line.size() > 2 ? unescaped(line.substr(2)) : std::nullopt;
        if (!inside(relative) || (line[0] != 'B' && line[0] != 'P' && line[0] != 'D') || line[1] != ' ')
            return false;
        moves.push_back({static_cast<Move::Kind>(line[0]), *relative});
    }
    return false;  // no end line: not one we wrote
}

SwitchState::SwitchState(const SwitchTrees &trees, const std::vector<Move> &moves, const NewFiles &files)
    : m_trees(trees), m_moves(moves), m_files(files)
{
    for (const Move &move : moves)
        m_replaces[move.relative] = m_replaces[move.relative] || move.kind == Move::Kind::Backup;
}

bool SwitchState::placedFile(const std::string &relative, std::error_code &error) const
{
    const auto expected = m_files.find(relative);
    if (expected == m_files.end())
        return false;
    const std::optional<NewFile> found = fileAt(m_trees.target(relative), error);
    // No rename goes through a link: a file beyond one was not put there by this switch-over.
    if (error == std::errc::too_many_symbolic_link_levels)
        error.clear();
    return found && found->size == expected->second.size && found->crc == expected->second.crc;
}

// A new folder counts as put in when it stands in the application folder, is gone from the
// staging, and holds nothing but files of the package as staged (some may be missing): only
// then may it go back into the staging without taking anything else with it.
bool SwitchState::placedFolder(const std::string &relative, std::error_code &error) const
{
    if (kindAt(m_trees.target(relative), error) != os::NodeKind::Folder) {
        if (error == std::errc::too_many_symbolic_link_levels)
            error.clear();
        return false;
    }
    if (kindAt(m_trees.content(relative), error) != os::NodeKind::Missing || error)
        return false;
    std::vector<std::string> folders = {relative};
    while (!folders.empty()) {
        const std::string folder = folders.back();
        folders.pop_back();
        std::vector<std::pair<fs::path, os::NodeKind>> children;
        const SwitchTrees::Spot spot = m_trees.target(folder);
        if ((error = spot.tree->list(spot.relative, children)))
            return false;
        for (const auto &[name, kind] : children) {
            const std::string child = folder + '/' + utf8(name);
            if (kind == os::NodeKind::Folder)
                folders.push_back(child);
            else if (kind != os::NodeKind::File || !placedFile(child, error))
                return false;
        }
    }
    return true;
}

bool SwitchState::done(const Move &move, std::error_code &error) const
{
    switch (move.kind) {
    case Move::Kind::Backup:
        return os::NodeKind::Missing != kindAt(m_trees.backup(move.relative), error) && !error;
    case Move::Kind::Place: {
        // An old file still in place is never taken for the new one, even with the same bytes.
        const auto replaces = m_replaces.find(move.relative);
        if (replaces != m_replaces.end() && replaces->second
            && !done({Move::Kind::Backup, move.relative}, error))
            return false;
        return !error && placedFile(move.relative, error);
    }
    case Move::Kind::PlaceFolder:
        return placedFolder(move.relative, error);
    }
    return false;
}

bool SwitchState::allInPlace(std::string &missing, std::error_code &error) const
{
    for (const auto &[relative, file] : m_files) {
        if (!placedFile(relative, error) || error) {
            missing = relative;
            return false;
        }
    }
    return true;
}

bool SwitchState::vanished(const std::string &relative) const
{
    std::error_code error;
    if (placedFile(relative, error) || error)
        return false;
    const std::optional<NewFile> staged = fileAt(m_trees.content(relative), error);
    return !error && !staged;
}

std::error_code SwitchState::undo(std::string &failed) const
{
    std::error_code first;
    std::size_t point = 0;
    for (auto move = m_moves.rbegin(); move != m_moves.rend(); ++move) {
        std::error_code error;
        if (done(*move, error) && !error) {
            if (g_undoHook)
                error = g_undoHook(point++);
            if (!error)
                error = renameSpot(m_trees.destination(*move), m_trees.source(*move));
        }
        if (error && !first) {
            first = error;
            failed = move->relative;
        }
    }
    if (first)
        return first;
    // The backups may go only once no old file is left in them.
    for (const Move &move : m_moves) {
        std::error_code error;
        if (move.kind == Move::Kind::Backup && (done(move, error) || error)) {
            failed = move.relative;
            return error ? error : std::make_error_code(std::errc::file_exists);
        }
    }
    return {};
}

std::error_code dropStaging(const fs::path &staging)
{
    std::error_code error;
    fs::remove(staging / "switch-record", error);
    if (error)
        return error;
    std::vector<fs::path> children;
    for (const fs::directory_entry &child : fs::directory_iterator(staging, error)) {
        if (child.path().filename() != kMarkerName)
            children.push_back(child.path());
    }
    if (error == std::errc::no_such_file_or_directory)
        return {};
    for (const fs::path &child : children) {
        if (!error)
            error = removeOurTree(child);
    }
    return error ? error : removeOurTree(staging);
}

} // namespace kestrel::install
