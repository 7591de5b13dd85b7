// Links met by nodeKind and removeTree: a symbolic link where the system makes one (on Windows,
// with developer mode or administrator rights); under wine, which makes neither symbolic links
// nor junctions, a symbolic link made by the Linux host.

#include <windows.h>

#include "FileSystem.h"
#include "TestRunner.h"

#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;
using kestrel::platform::NodeKind;
using kestrel::platform::nodeKind;
using kestrel::platform::removeTree;

namespace {

// Present only under wine: the host's name of a Windows path.
using UnixNameFunction = char *(CDECL *)(const wchar_t *);
// Through the generic function type, which the compiler accepts as a cast between kinds.
const auto unixNameOf = reinterpret_cast<UnixNameFunction>(reinterpret_cast<void (*)()>(
    ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));

std::wstring unixName(const fs::path &path)
{
    char *name = unixNameOf(path.c_str());
    const std::string utf8 = name ? name : "";
    ::HeapFree(::GetProcessHeap(), 0, name);
    return L" \"" + fs::path(std::u8string(utf8.begin(), utf8.end())).wstring() + L"\"";
}

// Wine starts a host program given by its host path, but neither waits for it nor learns
// how it ended: this waits for its effect instead.
bool runOnHost(std::wstring commandLine, const fs::path &watched, NodeKind awaited)
{
    STARTUPINFOW startup {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started {};
    if (!::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                          &started))
        return false;
    ::CloseHandle(started.hThread);
    ::CloseHandle(started.hProcess);
    std::error_code ignored;
    for (int tries = 0; tries < 600 && nodeKind(watched, ignored) != awaited; ++tries)
        ::Sleep(100);
    return nodeKind(watched, ignored) == awaited;
}

bool madeByHost = false;

bool makeLink(const fs::path &link, const fs::path &target)
{
    // Wine answers true without making anything: the disk tells.
    std::error_code ignored;
    if (::CreateSymbolicLinkW(link.c_str(), target.c_str(),
                              SYMBOLIC_LINK_FLAG_DIRECTORY | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE)
        && nodeKind(link, ignored) == NodeKind::Link)
        return true;
    madeByHost = unixNameOf != nullptr;
    return madeByHost && runOnHost(L"Z:\\bin\\ln -s" + unixName(target) + unixName(link), link, NodeKind::Link);
}

// An application folder with a link along a package path, and a leftover staging folder
// holding a link; both lead to a folder outside with a file to keep.
void linksAreSeenAndNeverDeletedThrough()
{
    wchar_t temp[MAX_PATH + 1] = {};
    ::GetTempPathW(MAX_PATH + 1, temp);
    const fs::path root = fs::path(temp) / (L"kestrel-links-" + std::to_wstring(::GetCurrentProcessId()));
    const fs::path app = root / L"app", staging = app / L"updates" / L"kestrel-staging";
    const fs::path elsewhere = root / L"ailleurs";
    fs::create_directories(staging / L"content" / L"a");
    fs::create_directories(elsewhere);
    std::ofstream(elsewhere / L"garder.txt") << "garder";
    std::ofstream(app / L"fichier.txt") << "x";
    std::ofstream(staging / L"content" / L"a" / L"b.txt") << "y";
    ::SetFileAttributesW((staging / L"content" / L"a" / L"b.txt").c_str(), FILE_ATTRIBUTE_READONLY);
    CHECK(makeLink(app / L"donnees", elsewhere) && makeLink(staging / L"content" / L"lien", elsewhere));
    std::printf("    note: %s\n", madeByHost ? "links made by the Linux host" : "links made by the system");

    std::error_code error;
    CHECK(nodeKind(app, error) == NodeKind::Folder && !error);
    CHECK(nodeKind(app / L"fichier.txt", error) == NodeKind::File && !error);
    CHECK(nodeKind(app / L"donnees", error) == NodeKind::Link && !error);
    CHECK(nodeKind(app / L"absent", error) == NodeKind::Missing && !error);
    // Only the last component is judged: a caller walks a path one component at a time.
    CHECK(nodeKind(app / L"donnees" / L"garder.txt", error) == NodeKind::File);

    const std::error_code stagingError = removeTree(staging);
    const std::error_code linkError = removeTree(app / L"donnees");
    std::string kept;
    std::ifstream(elsewhere / L"garder.txt") >> kept;
    CHECK_EQ(kept, std::string("garder"));
    CHECK(nodeKind(staging / L"content" / L"a", error) == NodeKind::Missing);
    if (!madeByHost) {
        CHECK(!stagingError && !linkError);
        CHECK(nodeKind(staging, error) == NodeKind::Missing && nodeKind(app / L"donnees", error) == NodeKind::Missing);
    } else {
        // Wine deletes the target of a host link through any handle: the link stays, reported.
        CHECK(stagingError == std::errc::too_many_symbolic_link_levels);
        CHECK(linkError == std::errc::too_many_symbolic_link_levels);
        CHECK(nodeKind(staging / L"content" / L"lien", error) == NodeKind::Link);
    }
    CHECK(!removeTree(app / L"absent"));
    CHECK(!removeTree(app / L"fichier.txt") && nodeKind(app / L"fichier.txt", error) == NodeKind::Missing);
    // Under wine a host link can only be removed by the host.
    if (madeByHost)
        runOnHost(L"Z:\\bin\\rm -rf" + unixName(root), root, NodeKind::Missing);
    else
        removeTree(root);
}

} // namespace

void kestrel::wintest::addLinkTests(Runner &runner)
{
    runner.add("linksAreSeenAndNeverDeletedThrough", linksAreSeenAndNeverDeletedThrough);
}
