// The Windows probes and file services against the system itself. The executable is also the process looked for: with
// --sleep EVENT it signals EVENT and waits to be ended; with --program-folder FILE it writes what programFolder() reports.

#include <windows.h>

#include "os/FileInUse.h"
#include "os/FileSystem.h"
#include "os/FolderLock.h"
#include "os/NameCase.h"
#include "os/OutputFile.h"
#include "os/SystemProbes.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace fs = std::filesystem;
using namespace kestrel;
using os::Windows::IsProcessRunning;

namespace {

constexpr DWORD kLimitMs = 60000; // for a copy to start or end

std::string utf8(const fs::path &path)
{
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

std::string readAll(const fs::path &file)
{
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

fs::path ownPath()
{
    std::wstring path(32768, L'\0');
    path.resize(::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
    return path;
}

// A fresh folder in the temporary folder, removed with its content; named by the time too, as wine reuses process ids run after run.
struct TemporaryFolder {
    static inline int counter = 0;
    const fs::path path = fs::temp_directory_path()
        / (L"kestrel-" + std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(::GetTickCount64()) + L"-" + std::to_wstring(++counter));
    TemporaryFolder() { fs::create_directories(path); }
    ~TemporaryFolder() { os::removeTree(path); }
};

using Handle = std::unique_ptr<void, decltype([](HANDLE handle) { ::CloseHandle(handle); })>;

// Starts a program (the first word of commandLine when application is null); answers its handle.
Handle start(std::wstring commandLine, const wchar_t *application = nullptr)
{
    STARTUPINFOW startup {.cb = sizeof(STARTUPINFOW)};
    PROCESS_INFORMATION started {};
    if (!::CreateProcessW(application, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &started))
        return nullptr;
    ::CloseHandle(started.hThread);
    return Handle(started.hProcess);
}

Handle startCopy(const fs::path &exe, const std::wstring &arguments)
{
    Handle process = ::CopyFileW(ownPath().c_str(), exe.c_str(), FALSE) ? start(L"\"" + exe.wstring() + L"\" " + arguments, exe.c_str()) : nullptr;
    if (!process)
        throw std::runtime_error("cannot start a copy at " + utf8(exe));
    return process;
}

// A running copy of this executable under a chosen file name, ended by stop() or the destructor.
struct RunningCopy {
    RunningCopy(const TemporaryFolder &folder, const std::wstring &name) : path(folder.path / name)
    {
        static int counter = 0;
        const std::wstring eventName = L"Local\\kestrel-ready-" + std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(++counter);
        const Handle ready(::CreateEventW(nullptr, TRUE, FALSE, eventName.c_str()));
        process = startCopy(path, L"--sleep " + eventName);
        // The copy signals once it runs, so that the process list holds it.
        HANDLE waitFor[] = {ready.get(), process.get()};
        if (::WaitForMultipleObjects(2, waitFor, FALSE, kLimitMs) != WAIT_OBJECT_0)
            throw std::runtime_error("the copy " + utf8(path) + " did not start");
    }
    ~RunningCopy() { stop(); }
    // The handle stays open: an ended process is still known to the system until it is closed.
    void stop()
    {
        if (::TerminateProcess(process.get(), 0))
            ::WaitForSingleObject(process.get(), kLimitMs);
    }

    const fs::path path;
    Handle process;
};

std::string programFolderOfCopyAt(const fs::path &exe)
{
    TemporaryFolder scratch;
    const fs::path output = scratch.path / L"folder.txt";
    ::WaitForSingleObject(startCopy(exe, L"--program-folder \"" + output.wstring() + L"\"").get(), kLimitMs);
    ::DeleteFileW(exe.c_str());
    return readAll(output);
}

struct NameCase {
    const char *title;
    std::wstring started;
    std::string asked; // UTF-8
    bool expected;
};

void PrintTo(const NameCase &row, std::ostream *out) { *out << row.title; }

class ProbeByName : public ::testing::TestWithParam<NameCase> {};

TEST_P(ProbeByName, answersForTheWholeNameInAnyLetterCase)
{
    TemporaryFolder folder;
    RunningCopy copy(folder, GetParam().started);
    EXPECT_EQ(IsProcessRunning(GetParam().asked), GetParam().expected) << GetParam().asked;
}

// é exists in the Western code pages that the 8-bit process record uses.
INSTANTIATE_TEST_SUITE_P(
    Names, ProbeByName,
    ::testing::Values(NameCase {"askedInCapitals", L"kestrel11.exe", "KESTREL11.EXE", true},
                      NameCase {"startedInMixedCase", L"Kestrel11.Exe", "kestrel11.exe", true},
                      NameCase {"longName", L"kestrel11-updater-helper-long.exe", "KESTREL11-UPDATER-HELPER-LONG.EXE", true},
                      NameCase {"accentedInCapitals", L"kestr\u00e9l11.exe", "KESTR\xc3\x89L11.EXE", true},
                      NameCase {"accentedIsNotPlain", L"kestr\u00e9l11.exe", "kestrel11.exe", false},
                      NameCase {"longerNameBeginsWithIt", L"kestrel11.exe.exe", "kestrel11.exe", false},
                      NameCase {"longerNameEndsWithIt", L"old-kestrel11.exe", "kestrel11.exe", false},
                      NameCase {"withoutExtension", L"kestrel11.exe", "kestrel11", false},
                      NameCase {"relativePath", L"kestrel11.exe", ".\\kestrel11.exe", false},
                      NameCase {"emptyName", L"kestrel11.exe", "", false}),
    [](const auto &info) { return std::string(info.param.title); });

// Each call sees its moment: two instances count until both have ended, their handles still open; a full path never matches.
TEST(ProcessProbe, answersTrueWhileAnyInstanceRuns)
{
    TemporaryFolder first, second;
    EXPECT_FALSE(IsProcessRunning("kestrel11.exe"));
    RunningCopy one(first, L"kestrel11.exe");
    RunningCopy other(second, L"KESTREL11.EXE");
    EXPECT_TRUE(IsProcessRunning("kestrel11.exe"));
    EXPECT_FALSE(IsProcessRunning(utf8(one.path)));
    one.stop();
    EXPECT_TRUE(IsProcessRunning("kestrel11.exe"));
    other.stop();
    EXPECT_FALSE(IsProcessRunning("kestrel11.exe"));
}

TEST(FileSystem, ordinaryFileExcludesFoldersHiddenAndSystemFiles)
{
    TemporaryFolder folder;
    const struct {
        const wchar_t *name;
        DWORD attributes;
        bool ordinary;
    } rows[] = {{L"accentu\u00e9.exe", FILE_ATTRIBUTE_NORMAL, true}, {L"lecture-seule.exe", FILE_ATTRIBUTE_READONLY, true},
                {L"cache.exe", FILE_ATTRIBUTE_HIDDEN, false}, {L"systeme.exe", FILE_ATTRIBUTE_SYSTEM, false}};
    for (const auto &row : rows) {
        std::ofstream(folder.path / row.name) << "MZ";
        ::SetFileAttributesW((folder.path / row.name).c_str(), row.attributes);
        EXPECT_EQ(os::isOrdinaryFile(utf8(folder.path / row.name)), row.ordinary) << utf8(row.name);
    }
    fs::create_directory(folder.path / L"dossier.exe");
    EXPECT_FALSE(os::isOrdinaryFile(utf8(folder.path / L"dossier.exe")));
    EXPECT_FALSE(os::isOrdinaryFile(utf8(folder.path / L"absent.exe")));
}

// Blocks written out of order land at their offsets; a file in a missing folder is an error.
TEST(FileSystem, outputFileWritesBlocksAtTheirOffsets)
{
    TemporaryFolder folder;
    os::OutputFile out;
    EXPECT_FALSE(out.open(folder.path / L"donn\u00e9es.bin", 0644));
    EXPECT_FALSE(out.writeAt(0, "abc", 3));
    EXPECT_FALSE(out.writeAt(6, "ghi", 3));
    EXPECT_FALSE(out.writeAt(3, "def", 3));
    EXPECT_FALSE(out.close());
    EXPECT_EQ(readAll(folder.path / L"donn\u00e9es.bin"), "abcdefghi");
    os::OutputFile missing;
    EXPECT_TRUE(missing.open(folder.path / L"absent" / L"x.bin", 0644));
}

// The system's own case mapping: names it merges share a key, names it keeps apart mostly do not.
TEST(FileSystem, nameCaseKeyFollowsTheSystemsLetterCase)
{
    EXPECT_EQ(os::nameCaseKey("\xc3\x89" "cran.TXT"), os::nameCaseKey("\xc3\xa9" "cran.txt")); // Écran, écran
    EXPECT_EQ(os::nameCaseKey("FICHIER"), os::nameCaseKey("f\xc4\xb1" "chier"));           // dotless i
    EXPECT_NE(os::nameCaseKey("stra\xc3\x9f" "e"), os::nameCaseKey("strasse"));          // ß is not ss
    EXPECT_EQ(os::nameCaseKey("\xff\xfe"), "\xff\xfe");                                  // not UTF-8: as is
}

// Without a trailing backslash, in a folder with accents; a drive root keeps its own.
TEST(FileSystem, programFolderOfACopyElsewhere)
{
    TemporaryFolder folder;
    const fs::path accented = folder.path / L"dossier \u00e9t\u00e9";
    fs::create_directory(accented);
    EXPECT_EQ(programFolderOfCopyAt(accented / L"Update.exe"), utf8(accented));

    wchar_t windowsFolder[MAX_PATH + 1] = {};
    ::GetWindowsDirectoryW(windowsFolder, MAX_PATH + 1);
    const std::wstring root = std::wstring(windowsFolder).substr(0, 3);
    const fs::path atRoot = root + L"kestrel-" + std::to_wstring(::GetCurrentProcessId()) + L".exe";
    // Writing to the system drive's root takes administrator rights on Windows; wine allows it.
    if (!::CopyFileW(ownPath().c_str(), atRoot.c_str(), FALSE))
        GTEST_SKIP() << utf8(root) << " is not writable here";
    EXPECT_EQ(programFolderOfCopyAt(atRoot), utf8(root));
}

// The product's name, version and language as Windows shows them in the file's properties.
TEST(VersionResource, namesTheProductInFrench)
{
    const std::wstring own = ownPath().wstring();
    DWORD ignored = 0;
    std::vector<char> info(::GetFileVersionInfoSizeW(own.c_str(), &ignored));
    ASSERT_TRUE(!info.empty() && ::GetFileVersionInfoW(own.c_str(), 0, static_cast<DWORD>(info.size()), info.data()));
    const auto value = [&info](const std::wstring &name) {
        void *found = nullptr;
        UINT length = 0;
        return ::VerQueryValueW(info.data(), name.c_str(), &found, &length) ? found : nullptr;
    };
    const auto *fixed = static_cast<VS_FIXEDFILEINFO *>(value(L"\\"));
    const auto *translation = static_cast<DWORD *>(value(L"\\VarFileInfo\\Translation"));
    ASSERT_TRUE(fixed && translation);
    EXPECT_EQ(std::make_pair(fixed->dwFileVersionMS, fixed->dwFileVersionLS), std::make_pair(0x00010001UL, 0x00000002UL));
    EXPECT_EQ(*translation, (1200UL << 16) | 0x040C) << "French, Unicode";
    const auto text = [&value](const wchar_t *name) {
        const auto *found = static_cast<const wchar_t *>(value(L"\\StringFileInfo\\040C04B0\\" + std::wstring(name)));
        return std::wstring(found ? found : L"<absent>");
    };
    EXPECT_EQ(text(L"ProductName"), L"Update");
    EXPECT_EQ(text(L"FileVersion"), L"1.01.0002");
    EXPECT_EQ(text(L"FileDescription"), L"Programme de mise \u00e0 jour de Kestrel 11");
}

// Wine makes no symbolic link or junction (it answers true and makes nothing): the host makes them, given the paths' host names.
using UnixNameFunction = char *(CDECL *)(const wchar_t *);
const auto unixNameOf = reinterpret_cast<UnixNameFunction>(reinterpret_cast<void (*)()>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));

std::wstring unixName(const fs::path &path)
{
    char *name = unixNameOf(path.c_str());
    const std::string text = name ? name : "";
    ::HeapFree(::GetProcessHeap(), 0, name);
    return L" \"" + fs::path(std::u8string(text.begin(), text.end())).wstring() + L"\"";
}

// Wine gives no handle on a host program: this waits for its effect instead.
bool runOnHost(const std::wstring &commandLine, const fs::path &watched, os::NodeKind awaited)
{
    start(commandLine);
    std::error_code ignored;
    for (int tries = 0; tries < 600 && os::nodeKind(watched, ignored) != awaited; ++tries)
        ::Sleep(100);
    return os::nodeKind(watched, ignored) == awaited;
}

// Made by the system on Windows (with developer mode or administrator rights), by the host under wine.
bool makeLink(const fs::path &link, const fs::path &target)
{
    if (unixNameOf == nullptr)
        return ::CreateSymbolicLinkW(link.c_str(), target.c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE);
    return runOnHost(L"Z:\\bin\\ln -s" + unixName(target) + unixName(link), link, os::NodeKind::Link);
}

// A link along a package path, and one in a leftover staging folder; both lead to a folder outside with a file to keep.
TEST(FileSystem, linksAreSeenAndNeverDeletedThrough)
{
    const TemporaryFolder folder;
    const fs::path &root = folder.path, app = root / L"app", staging = app / L"updates" / L"kestrel-staging", elsewhere = root / L"ailleurs";
    fs::create_directories(staging / L"content" / L"a");
    fs::create_directories(elsewhere);
    std::ofstream(elsewhere / L"garder.txt") << "garder";
    std::ofstream(app / L"fichier.txt") << "x";
    std::ofstream(staging / L"content" / L"a" / L"b.txt") << "y";
    ::SetFileAttributesW((staging / L"content" / L"a" / L"b.txt").c_str(), FILE_ATTRIBUTE_READONLY);
    const bool madeByHost = unixNameOf != nullptr;
    ASSERT_TRUE(makeLink(app / L"donnees", elsewhere) && makeLink(staging / L"content" / L"lien", elsewhere));

    std::error_code error;
    EXPECT_EQ(os::nodeKind(app, error), os::NodeKind::Folder);
    EXPECT_EQ(os::nodeKind(app / L"fichier.txt", error), os::NodeKind::File);
    EXPECT_EQ(os::nodeKind(app / L"donnees", error), os::NodeKind::Link);
    EXPECT_EQ(os::nodeKind(app / L"absent", error), os::NodeKind::Missing);
    EXPECT_FALSE(error);
    // Only the last component is judged: a caller walks a path one component at a time.
    EXPECT_EQ(os::nodeKind(app / L"donnees" / L"garder.txt", error), os::NodeKind::File);

    const std::error_code stagingError = os::removeTree(staging);
    const std::error_code linkError = os::removeTree(app / L"donnees");
    EXPECT_EQ(readAll(elsewhere / L"garder.txt"), "garder");
    EXPECT_EQ(os::nodeKind(staging / L"content" / L"a", error), os::NodeKind::Missing);
    if (!madeByHost) {
        EXPECT_FALSE(stagingError || linkError);
        EXPECT_EQ(os::nodeKind(staging, error), os::NodeKind::Missing);
        EXPECT_EQ(os::nodeKind(app / L"donnees", error), os::NodeKind::Missing);
    } else {
        // Wine deletes the target of a host link through any handle: the link stays, reported.
        EXPECT_EQ(stagingError, std::errc::too_many_symbolic_link_levels);
        EXPECT_EQ(linkError, std::errc::too_many_symbolic_link_levels);
        EXPECT_EQ(os::nodeKind(staging / L"content" / L"lien", error), os::NodeKind::Link);
    }
    EXPECT_FALSE(os::removeTree(app / L"absent"));
    if (madeByHost) // a host link can only be removed by the host
        runOnHost(L"Z:\\bin\\rm -rf" + unixName(root), root, os::NodeKind::Missing);
}

// One lock per folder however spelled: asked from another thread (the mutex is the thread's), every spelling is refused, another folder not.
TEST(FolderLock, oneLockPerFolderWhateverItsSpelling)
{
    TemporaryFolder root;
    const fs::path folder = root.path / L"Kestrel11Application";
    fs::create_directories(folder);
    fs::create_directories(root.path / L"Autre");
    os::FolderLock held;
    ASSERT_EQ(held.acquire(folder), os::FolderLock::Result::Acquired);

    std::wstring lower = folder.wstring() + L"\\";
    ::CharLowerBuffW(lower.data(), static_cast<DWORD>(lower.size()));
    std::wstring shortName(MAX_PATH, L'\0');
    shortName.resize(::GetShortPathNameW(folder.c_str(), shortName.data(), MAX_PATH));
    std::vector<std::pair<std::wstring, os::FolderLock::Result>> spellings = {
        {lower, os::FolderLock::Result::HeldElsewhere},
        {shortName, os::FolderLock::Result::HeldElsewhere},
        {(root.path / L"Autre").wstring(), os::FolderLock::Result::Acquired}};
    // Through a drive of its own (which wine 8 claims to make but does not), and under wine through the host root's drive.
    std::error_code ignored;
    if (::DefineDosDeviceW(0, L"K:", root.path.c_str())
        && os::nodeKind(L"K:\\Kestrel11Application", ignored) == os::NodeKind::Folder)
        spellings.push_back({L"K:\\Kestrel11Application", os::FolderLock::Result::HeldElsewhere});
    if (unixNameOf != nullptr) {
        std::wstring host = unixName(folder);
        spellings.push_back({L"Z:" + host.substr(2, host.size() - 3), os::FolderLock::Result::HeldElsewhere});
    }
    for (const auto &[spelling, expected] : spellings) {
        os::FolderLock::Result result = os::FolderLock::Result::NoFolder;
        std::thread([&result, &spelling] { result = os::FolderLock().acquire(spelling); }).join();
        EXPECT_EQ(result, expected) << utf8(spelling);
    }
    ::DefineDosDeviceW(DDD_REMOVE_DEFINITION, L"K:", nullptr);
}

// A file held open without FILE_SHARE_DELETE cannot be renamed: tried again, the rename goes through once the holder lets go.
TEST(FileInUse, renameIsTriedAgainWhileAnotherProgramHoldsTheFile)
{
    TemporaryFolder root;
    const fs::path file = root.path / L"aide.txt", aside = root.path / L"aide.txt.ancien";
    std::ofstream(file) << "aide";
    HANDLE held = ::CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    std::vector<std::error_code> tries;
    tries.reserve(8);
    const std::error_code error = os::retryWhileHeld([&] {
        if (!tries.empty() && held != INVALID_HANDLE_VALUE)
            ::CloseHandle(std::exchange(held, INVALID_HANDLE_VALUE));
        std::error_code renameError;
        fs::rename(file, aside, renameError);
        tries.push_back(renameError);
        return renameError;
    });
    ASSERT_EQ(tries.size(), 2U);
    EXPECT_FALSE(error);
    EXPECT_EQ(readAll(aside), "aide");
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    const std::wstring mode = argc > 2 ? argv[1] : L"";
    if (mode == L"--sleep") {
        const Handle ready(::OpenEventW(EVENT_MODIFY_STATE, FALSE, argv[2]));
        if (!ready || !::SetEvent(ready.get()))
            return 2;
        ::Sleep(120000); // its own time limit, should the tests end without stopping it
        return 0;
    }
    if (mode == L"--program-folder") {
        std::ofstream(fs::path(argv[2]), std::ios::binary) << os::programFolder();
        return 0;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
