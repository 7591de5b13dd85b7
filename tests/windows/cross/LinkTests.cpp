// Links met by nodeKind and removeTree. A junction where the system makes one; under wine,
// which makes neither junctions nor symbolic links, a symbolic link made by the Linux host.

#include <windows.h>
#include <winioctl.h>

#include "FileSystem.h"
#include "TestRunner.h"

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace fs = std::filesystem;
using kestrel::platform::NodeKind;
using kestrel::platform::nodeKind;
using kestrel::platform::removeTree;

namespace {

enum class LinkMade { None, Junction, HostLink };

// Present only under wine: the host's name for a Windows path.
using UnixNameFunction = char *(CDECL *)(const wchar_t *);
UnixNameFunction unixNameFunction()
{
    // Through the generic function type, which the compiler accepts as a cast between kinds.
    return reinterpret_cast<UnixNameFunction>(reinterpret_cast<void (*)()>(
        ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
}

std::wstring unixName(const fs::path &path)
{
    char *name = unixNameFunction()(path.c_str());
    const std::string utf8 = name ? name : "";
    ::HeapFree(::GetProcessHeap(), 0, name);
    return L"\"" + fs::path(std::u8string(utf8.begin(), utf8.end())).wstring() + L"\"";
}

// Wine starts a host program given by its host path, but does not wait for it to end nor
// learn its exit code: the caller waits for the program's effect instead.
bool runOnHostUntil(std::wstring commandLine, const fs::path &watched, NodeKind awaited)
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

bool makeJunction(const fs::path &link, const fs::path &target)
{
    if (!::CreateDirectoryW(link.c_str(), nullptr))
        return false;
    const HANDLE folder = ::CreateFileW(link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                       FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    // A mount-point reparse buffer: the substitute name, then an empty print name.
    struct {
        DWORD tag = IO_REPARSE_TAG_MOUNT_POINT;
        WORD dataLength = 0, reserved = 0, substituteOffset = 0, substituteLength = 0, printOffset = 0,
             printLength = 0;
        wchar_t names[2 * MAX_PATH] = {};
    } buffer;
    const std::wstring substitute = L"\\??\\" + target.wstring();
    buffer.substituteLength = WORD(substitute.size() * sizeof(wchar_t));
    buffer.printOffset = WORD(buffer.substituteLength + sizeof(wchar_t));
    buffer.dataLength = WORD(8 + buffer.printOffset + sizeof(wchar_t));
    std::memcpy(buffer.names, substitute.c_str(), buffer.substituteLength);
    DWORD ignored = 0;
    const bool made = folder != INVALID_HANDLE_VALUE
        && ::DeviceIoControl(folder, FSCTL_SET_REPARSE_POINT, &buffer, 8 + buffer.dataLength, nullptr, 0,
                             &ignored, nullptr);
    if (folder != INVALID_HANDLE_VALUE)
        ::CloseHandle(folder);
    if (!made) {
        ::RemoveDirectoryW(link.c_str());
    }
    return made;
}

void write(const fs::path &file, const char *text)
{
    std::ofstream(file, std::ios::binary) << text;
}

std::string read(const fs::path &file)
{
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// An application folder with a link along a package path, and a leftover staging folder
// holding a link; both links lead to a folder outside with a file to keep.
class LinkScene {
public:
    LinkScene()
    {
        fs::create_directories(content / L"a");
        fs::create_directories(elsewhere);
        write(elsewhere / L"garder.txt", "garder");
        write(app / L"fichier.txt", "x");
        write(content / L"a" / L"b.txt", "y");
        ::SetFileAttributesW((content / L"a" / L"b.txt").c_str(), FILE_ATTRIBUTE_READONLY);
        made = makeLink(app / L"donnees");
        if (made != LinkMade::None)
            made = makeLink(content / L"lien");
        const char *names[] = {"no link could be made", "junctions", "symbolic links made by the Linux host"};
        std::printf("    note: %s\n", names[int(made)]);
    }
    ~LinkScene()
    {
        // Under wine a host link can only be removed by the host.
        if (unixNameFunction())
            runOnHostUntil(L"Z:\\bin\\rm -rf " + unixName(root), root, NodeKind::Missing);
        else
            removeTree(root);
    }
    LinkScene(const LinkScene &) = delete;
    LinkScene &operator=(const LinkScene &) = delete;

    bool elsewhereIntact() const { return read(elsewhere / L"garder.txt") == "garder"; }

    fs::path root = freshRoot();
    fs::path app = root / L"app";
    fs::path staging = app / L"updates" / L"kestrel-staging";
    fs::path content = staging / L"content";
    fs::path elsewhere = root / L"ailleurs";
    LinkMade made = LinkMade::None;

private:
    static fs::path freshRoot()
    {
        wchar_t temp[MAX_PATH + 1] = {};
        ::GetTempPathW(MAX_PATH + 1, temp);
        return fs::path(temp) / (L"kestrel-links-" + std::to_wstring(::GetCurrentProcessId()));
    }

    LinkMade makeLink(const fs::path &link) const
    {
        if (makeJunction(link, elsewhere))
            return LinkMade::Junction;
        if (unixNameFunction()
            && runOnHostUntil(L"Z:\\bin\\ln -s " + unixName(elsewhere) + L" " + unixName(link), link, NodeKind::Link))
            return LinkMade::HostLink;
        return LinkMade::None;
    }
};

void nodeKindSeesFoldersFilesAndLinks()
{
    LinkScene scene;
    CHECK(scene.made != LinkMade::None);
    std::error_code error;
    CHECK(nodeKind(scene.app, error) == NodeKind::Folder && !error);
    CHECK(nodeKind(scene.app / L"fichier.txt", error) == NodeKind::File && !error);
    CHECK(nodeKind(scene.app / L"donnees", error) == NodeKind::Link && !error);
    CHECK(nodeKind(scene.app / L"absent", error) == NodeKind::Missing && !error);
    CHECK(nodeKind(scene.app / L"absent" / L"x", error) == NodeKind::Missing && !error);
    // Only the last component is judged: a caller walks a path one component at a time.
    CHECK(nodeKind(scene.app / L"donnees" / L"garder.txt", error) == NodeKind::File);
}

void removeTreeNeverDeletesThroughALink()
{
    LinkScene scene;
    CHECK(scene.made != LinkMade::None);
    const std::error_code stagingError = removeTree(scene.staging);
    const std::error_code linkError = removeTree(scene.app / L"donnees");
    CHECK(scene.elsewhereIntact());
    CHECK(!fs::exists(scene.content / L"a"));
    std::error_code ignored;
    if (scene.made == LinkMade::Junction) {
        CHECK(!stagingError && !linkError);
        CHECK(nodeKind(scene.staging, ignored) == NodeKind::Missing);
        CHECK(nodeKind(scene.app / L"donnees", ignored) == NodeKind::Missing);
    } else {
        // Wine deletes the target of a host link through any handle: the link stays, reported.
        CHECK(stagingError == std::errc::too_many_symbolic_link_levels);
        CHECK(linkError == std::errc::too_many_symbolic_link_levels);
        CHECK(nodeKind(scene.content / L"lien", ignored) == NodeKind::Link);
    }
    CHECK(!removeTree(scene.app / L"absent"));
    CHECK(!removeTree(scene.app / L"fichier.txt") && !fs::exists(scene.app / L"fichier.txt"));
}

} // namespace

void kestrel::wintest::addLinkTests(Runner &runner)
{
    runner.add("nodeKindSeesFoldersFilesAndLinks", nodeKindSeesFoldersFilesAndLinks);
    runner.add("removeTreeNeverDeletesThroughALink", removeTreeNeverDeletesThroughALink);
}
