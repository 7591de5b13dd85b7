#include "install/SwitchRecord.h"

#include "install/EntryPath.h"
#include "install/OwnFiles.h"
#include "os/DiskSync.h"
#include "os/OutputFile.h"

#include <fstream>

namespace fs = std::filesystem;

namespace kestrel::install {

namespace {

const char *const kHeader = "kestrel-switch 1";

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

fs::path underFolder(const fs::path &folder, const std::string &relative)
{
    fs::path path = folder;
    for (const std::string &component : readEntryPath(relative).components)
        path /= fromUtf8(component);
    return path;
}

fs::path SwitchPaths::source(const Move &move) const
{
    return underFolder(move.kind == Move::Kind::Backup ? target : content(), move.relative);
}

fs::path SwitchPaths::destination(const Move &move) const
{
    return underFolder(move.kind == Move::Kind::Backup ? backup() : target, move.relative);
}

std::error_code writeRecord(const SwitchPaths &paths, const std::vector<Move> &moves)
{
    std::string text = std::string(kHeader) + "\ntarget " + escaped(utf8(paths.target)) + "\n";
    for (const Move &move : moves)
        text += std::string(1, static_cast<char>(move.kind)) + ' ' + escaped(move.relative) + '\n';
    text += "end " + std::to_string(moves.size()) + "\n";
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

std::optional<std::vector<Move>> readRecord(const fs::path &staging, fs::path &target)
{
    if (!fs::is_regular_file(linkStatus(staging / "switch-record")))
        return std::nullopt;
    std::ifstream in(staging / "switch-record", std::ios::binary);
    std::string line;
    if (!std::getline(in, line) || line != kHeader || !std::getline(in, line) || line.rfind("target ", 0) != 0)
        return std::nullopt;
    const auto targetText = unescaped(line.substr(7));
    if (!targetText || !fromUtf8(*targetText).is_absolute())
        return std::nullopt;
    target = fromUtf8(*targetText);
    std::vector<Move> moves;
    while (std::getline(in, line)) {
        if (line == "end " + std::to_string(moves.size()))
            return moves;
        const auto relative = line.size() > 2 ? unescaped(line.substr(2)) : std::nullopt;
        if (!relative || (line[0] != 'B' && line[0] != 'P') || line[1] != ' '
            || readEntryPath(*relative).verdict != PathVerdict::Inside)
            return std::nullopt;
        moves.push_back({static_cast<Move::Kind>(line[0]), *relative});
    }
    return std::nullopt;  // no end line: not one we wrote
}

bool moveDone(const SwitchPaths &paths, const Move &move)
{
    return move.kind == Move::Kind::Backup ? existsHere(paths.destination(move)) : !existsHere(paths.source(move));
}

std::error_code undoMoves(const SwitchPaths &paths, const std::vector<Move> &moves, std::string &failed)
{
    for (auto move = moves.rbegin(); move != moves.rend(); ++move) {
        if (!moveDone(paths, *move))
            continue;
        std::error_code error;
        fs::rename(paths.destination(*move), paths.source(*move), error);
        if (error) {
            failed = move->relative;
            return error;
        }
    }
    return {};
}

std::error_code markCommitted(const SwitchPaths &paths)
{
    os::OutputFile mark;
    std::error_code error = mark.open(paths.committed(), 0644);
    if (!error)
        error = mark.close();
    return error ? error : os::syncFolder(paths.staging);
}

std::error_code dropStaging(const SwitchPaths &paths)
{
    std::error_code error;
    fs::remove(paths.record(), error);
    return error ? error : removeOurTree(paths.staging);
}

} // namespace kestrel::install
