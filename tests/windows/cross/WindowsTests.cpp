// The Windows probes and file services against the system itself. The same executable
// also serves as the process it looks for: started with --sleep, it waits to be ended;
// started with --program-folder FILE, it writes what programFolder() reports.

#include <windows.h>

#include "FileSystem.h"
#include "OutputFile.h"
#include "TestRunner.h"
#include "SystemProbes.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>

namespace fs = std::filesystem;
using kestrel::platform::isOrdinaryFile;
using kestrel::platform::programFolder;
using kestrel::platform::withTrailingSeparator;

namespace kestrel::wintest {

std::string printable(const std::wstring &text)
{
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                           nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
    if (size > 0)
        ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), utf8.data(),
                              size, nullptr, nullptr);
    return utf8;
}

} // namespace kestrel::wintest

namespace {

using kestrel::wintest::printable;

// The child's own time limit, should the tests end without stopping it.
constexpr DWORD sleeperLifetimeMs = 120000;
constexpr DWORD startLimitMs = 60000;

std::string utf8(const std::wstring &text)
{
    return printable(text);
}

std::wstring ownPath()
{
    std::wstring path(32768, L'\0');
    path.resize(::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
    return path;
}

// A fresh folder under the system's temporary folder, removed with everything in it.
class TemporaryFolder {
public:
    explicit TemporaryFolder(const std::wstring &suffix = L"")
    {
        static int counter = 0;
        wchar_t temp[MAX_PATH + 1] = {};
        ::GetTempPathW(MAX_PATH + 1, temp);
        m_path = fs::path(temp)
            / (L"kestrel-" + std::to_wstring(::GetCurrentProcessId()) + L"-"
               + std::to_wstring(++counter) + suffix);
        fs::create_directories(m_path);
    }
    ~TemporaryFolder()
    {
        std::error_code ignored;
        fs::remove_all(m_path, ignored);
    }
    TemporaryFolder(const TemporaryFolder &) = delete;
    TemporaryFolder &operator=(const TemporaryFolder &) = delete;

    const fs::path &path() const { return m_path; }
    std::wstring file(const std::wstring &name) const { return (m_path / name).wstring(); }

private:
    fs::path m_path;
};

struct HandleCloser {
    void operator()(HANDLE handle) const { ::CloseHandle(handle); }
};
using Handle = std::unique_ptr<void, HandleCloser>;

// Copies this executable to path and runs it with arguments; answers the process handle.
Handle startCopy(const std::wstring &path, const std::wstring &arguments)
{
    if (!::CopyFileW(ownPath().c_str(), path.c_str(), FALSE))
        throw std::runtime_error("cannot copy the test executable to " + utf8(path));
    std::wstring commandLine = L"\"" + path + L"\" " + arguments;
    STARTUPINFOW startup {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started {};
    if (!::CreateProcessW(path.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                          nullptr, &startup, &started))
        throw std::runtime_error("cannot start " + utf8(path));
    ::CloseHandle(started.hThread);
    return Handle(started.hProcess);
}

// A running copy of this executable under a chosen file name, ended by stop() or the destructor.
class RunningCopy {
public:
    RunningCopy(const TemporaryFolder &folder, const std::wstring &name)
        : m_path(folder.file(name))
    {
        static int counter = 0;
        const std::wstring eventName = L"Local\\kestrel-ready-" + std::to_wstring(::GetCurrentProcessId())
            + L"-" + std::to_wstring(++counter);
        Handle ready(::CreateEventW(nullptr, TRUE, FALSE, eventName.c_str()));
        m_process = startCopy(m_path, L"--sleep " + eventName);
        // The copy signals once it runs, so that the process list holds it.
        HANDLE waitFor[] = {ready.get(), m_process.get()};
        if (::WaitForMultipleObjects(2, waitFor, FALSE, startLimitMs) != WAIT_OBJECT_0)
            throw std::runtime_error("the copy " + utf8(m_path) + " did not start");
    }
    ~RunningCopy() { stop(); }
    RunningCopy(const RunningCopy &) = delete;
    RunningCopy &operator=(const RunningCopy &) = delete;

    void stop()
    {
        if (!m_process)
            return;
        ::TerminateProcess(m_process.get(), 0);
        ::WaitForSingleObject(m_process.get(), startLimitMs);
        m_process.reset();
        ::DeleteFileW(m_path.c_str());
    }
    HANDLE process() const { return m_process.get(); }
    const std::wstring &path() const { return m_path; }

private:
    std::wstring m_path;
    Handle m_process;
};

int sleepUntilEnded(const std::wstring &eventName)
{
    Handle ready(::OpenEventW(EVENT_MODIFY_STATE, FALSE, eventName.c_str()));
    if (!ready || !::SetEvent(ready.get()))
        return 2;
    ::Sleep(sleeperLifetimeMs);
    return 0;
}

int writeProgramFolder(const std::wstring &outputFile)
{
    std::ofstream(fs::path(outputFile), std::ios::binary) << programFolder();
    return 0;
}

// Runs a copy of this executable placed at exePath and answers what its programFolder() says.
std::string programFolderOfCopyAt(const std::wstring &exePath, const TemporaryFolder &scratch)
{
    const std::wstring output = scratch.file(L"folder.txt");
    const Handle process = startCopy(exePath, L"--program-folder \"" + output + L"\"");
    ::WaitForSingleObject(process.get(), startLimitMs);
    ::DeleteFileW(exePath.c_str());
    std::ifstream file(fs::path(output), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

// --- The process probe ---------------------------------------------------------------------

void probeFindsTheApplicationInAnyLetterCase()
{
    TemporaryFolder folder;
    RunningCopy application(folder, L"kestrel11.exe");
    CHECK(Windows::IsProcessRunning("kestrel11.exe"));
    CHECK(Windows::IsProcessRunning("KESTREL11.EXE"));
    CHECK(Windows::IsProcessRunning("Kestrel11.Exe"));
}

void probeFindsAProcessStartedInCapitals()
{
    TemporaryFolder folder;
    RunningCopy application(folder, L"KESTREL11.EXE");
    CHECK(Windows::IsProcessRunning("kestrel11.exe"));
}

void probeComparesWholeNamesOnly()
{
    TemporaryFolder folder;
    RunningCopy beginsWith(folder, L"kestrel11.exe.exe");
    RunningCopy endsWith(folder, L"old-kestrel11.exe");
    CHECK(Windows::IsProcessRunning("kestrel11.exe.exe"));
    CHECK(!Windows::IsProcessRunning("kestrel11.exe"));
    CHECK(!Windows::IsProcessRunning("kestrel11"));
    CHECK(!Windows::IsProcessRunning("estrel11.exe"));
    CHECK(!Windows::IsProcessRunning(""));
}

void probeFindsLongNames()
{
    TemporaryFolder folder;
    RunningCopy helper(folder, L"kestrel11-updater-helper-long.exe");
    CHECK(Windows::IsProcessRunning("KESTREL11-UPDATER-HELPER-LONG.EXE"));
    CHECK(!Windows::IsProcessRunning("kestrel11-updat"));
}

void probeNeverMatchesAPath()
{
    TemporaryFolder folder;
    RunningCopy application(folder, L"kestrel11.exe");
    CHECK(Windows::IsProcessRunning("kestrel11.exe"));
    CHECK(!Windows::IsProcessRunning(utf8(application.path())));
    CHECK(!Windows::IsProcessRunning(".\\kestrel11.exe"));
    CHECK(!Windows::IsProcessRunning("C:/kestrel11.exe"));
}

void probeSeesEachMoment()
{
    TemporaryFolder folder;
    CHECK(!Windows::IsProcessRunning("kestrel11.exe"));
    RunningCopy application(folder, L"kestrel11.exe");
    CHECK(Windows::IsProcessRunning("kestrel11.exe"));
    application.stop();
    CHECK(!Windows::IsProcessRunning("kestrel11.exe"));
}

void probeIgnoresAnEndedProcessStillHeldOpen()
{
    TemporaryFolder folder;
    RunningCopy application(folder, L"kestrel11.exe");
    HANDLE held = nullptr;
    ::DuplicateHandle(::GetCurrentProcess(), application.process(), ::GetCurrentProcess(), &held,
                      0, FALSE, DUPLICATE_SAME_ACCESS);
    const Handle keepOpen(held);
    application.stop();
    CHECK(::WaitForSingleObject(held, 0) == WAIT_OBJECT_0);
    CHECK(!Windows::IsProcessRunning("kestrel11.exe"));
}

void probeWithTwoInstances()
{
    TemporaryFolder first;
    TemporaryFolder second;
    RunningCopy one(first, L"kestrel11.exe");
    RunningCopy other(second, L"Kestrel11.exe");
    CHECK(Windows::IsProcessRunning("kestrel11.exe"));
    one.stop();
    CHECK(Windows::IsProcessRunning("kestrel11.exe"));
    other.stop();
    CHECK(!Windows::IsProcessRunning("kestrel11.exe"));
}

void probeComparesAccentedNamesAsUtf8()
{
    // é exists in the Western code pages that the 8-bit process record uses.
    TemporaryFolder folder;
    RunningCopy application(folder, L"kestr\u00e9l11.exe");
    CHECK(Windows::IsProcessRunning("kestr\xc3\xa9l11.exe"));
    CHECK(Windows::IsProcessRunning("KESTR\xc3\x89L11.EXE"));
    CHECK(!Windows::IsProcessRunning("kestrel11.exe"));
}

// --- File services -------------------------------------------------------------------------

void separatorIsBackslash()
{
    CHECK_EQ(kestrel::platform::nativeSeparator(), '\\');
    CHECK_EQ(withTrailingSeparator("C:\\Apps\\Kestrel", '\\'), std::string("C:\\Apps\\Kestrel\\"));
    CHECK_EQ(withTrailingSeparator("C:\\Apps\\Kestrel\\", '\\'), std::string("C:\\Apps\\Kestrel\\"));
    CHECK_EQ(withTrailingSeparator("D:\\", '\\'), std::string("D:\\"));
}

void ordinaryFileExcludesFoldersHiddenAndSystemFiles()
{
    TemporaryFolder folder;
    const auto create = [&](const std::wstring &name, DWORD attributes) {
        std::ofstream(fs::path(folder.file(name)), std::ios::binary) << "MZ";
        if (attributes != 0)
            ::SetFileAttributesW(folder.file(name).c_str(), attributes);
        return utf8(folder.file(name));
    };
    CHECK(isOrdinaryFile(create(L"kestrel11.exe", 0)));
    CHECK(isOrdinaryFile(create(L"lecture-seule.exe", FILE_ATTRIBUTE_READONLY)));
    CHECK(isOrdinaryFile(create(L"accentu\u00e9.exe", 0)));
    CHECK(!isOrdinaryFile(create(L"cache.exe", FILE_ATTRIBUTE_HIDDEN)));
    CHECK(!isOrdinaryFile(create(L"systeme.exe", FILE_ATTRIBUTE_SYSTEM)));
    fs::create_directory(folder.path() / L"dossier.exe");
    CHECK(!isOrdinaryFile(utf8(folder.file(L"dossier.exe"))));
    CHECK(!isOrdinaryFile(utf8(folder.file(L"absent.exe"))));
    CHECK(!isOrdinaryFile(""));
    ::SetFileAttributesW(folder.file(L"lecture-seule.exe").c_str(), FILE_ATTRIBUTE_NORMAL);
    ::SetFileAttributesW(folder.file(L"systeme.exe").c_str(), FILE_ATTRIBUTE_NORMAL);
}

// Blocks written out of order land at their offsets; a file in a missing folder is an error.
void outputFileWritesBlocksAtTheirOffsets()
{
    TemporaryFolder folder;
    kestrel::install::OutputFile out;
    CHECK(!out.open(folder.file(L"donn\u00e9es.bin"), 0644));
    CHECK(!out.writeAt(0, "abc", 3));
    CHECK(!out.writeAt(6, "ghi", 3));
    CHECK(!out.writeAt(3, "def", 3));
    CHECK(!out.close());
    std::ifstream in(fs::path(folder.file(L"donn\u00e9es.bin")), std::ios::binary);
    CHECK_EQ(std::string(std::istreambuf_iterator<char>(in), {}), std::string("abcdefghi"));
    kestrel::install::OutputFile missing;
    CHECK(static_cast<bool>(missing.open(folder.file(L"absent\\x.bin"), 0644)));
}

void programFolderIsOwnFolderWithoutTrailingBackslash()
{
    const std::string folder = programFolder();
    CHECK(!folder.empty() && folder.back() != '\\');
    const std::wstring own = ownPath();
    CHECK_EQ(withTrailingSeparator(folder, '\\') + utf8(fs::path(own).filename().wstring()), utf8(own));
}

void programFolderOfACopyElsewhere()
{
    TemporaryFolder scratch;
    TemporaryFolder accented(L"-dossier \u00e9t\u00e9");
    CHECK_EQ(programFolderOfCopyAt(accented.file(L"Update.exe"), scratch), utf8(accented.path().wstring()));
}

void programFolderAtADriveRoot()
{
    TemporaryFolder scratch;
    wchar_t windowsFolder[MAX_PATH + 1] = {};
    ::GetWindowsDirectoryW(windowsFolder, MAX_PATH + 1);
    const std::wstring root = std::wstring(windowsFolder).substr(0, 3);
    const std::wstring atRoot = root + L"kestrel-" + std::to_wstring(::GetCurrentProcessId()) + L".exe";
    // Writing to the system drive's root takes administrator rights on Windows; wine allows it.
    if (!::CopyFileW(ownPath().c_str(), atRoot.c_str(), FALSE)) {
        std::printf("    note: %s is not writable here, drive root not checked\n", utf8(root).c_str());
        return;
    }
    const std::string reported = programFolderOfCopyAt(atRoot, scratch);
    CHECK_EQ(reported, utf8(root));
    CHECK_EQ(withTrailingSeparator(reported, '\\'), utf8(root));
}

// --- Version resource ----------------------------------------------------------------------

std::wstring versionString(const std::vector<char> &info, const wchar_t *name)
{
    wchar_t *value = nullptr;
    UINT length = 0;
    const std::wstring query = std::wstring(L"\\StringFileInfo\\040C04B0\\") + name;
    if (!::VerQueryValueW(info.data(), query.c_str(), reinterpret_cast<void **>(&value), &length)
        || value == nullptr)
        return L"<absent>";
    return std::wstring(value, length > 0 && value[length - 1] == L'\0' ? length - 1 : length);
}

void versionResourceNamesTheProductInFrench()
{
    const std::wstring own = ownPath();
    DWORD ignored = 0;
    std::vector<char> info(::GetFileVersionInfoSizeW(own.c_str(), &ignored));
    CHECK(!info.empty());
    if (info.empty()
        || !::GetFileVersionInfoW(own.c_str(), 0, static_cast<DWORD>(info.size()), info.data()))
        return;
    VS_FIXEDFILEINFO *fixed = nullptr;
    UINT length = 0;
    CHECK(::VerQueryValueW(info.data(), L"\\", reinterpret_cast<void **>(&fixed), &length));
    if (fixed != nullptr) {
        CHECK_EQ(fixed->dwFileVersionMS, DWORD(0x00010001));
        CHECK_EQ(fixed->dwFileVersionLS, DWORD(0x00000002));
    }
    WORD *translation = nullptr;
    CHECK(::VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation",
                           reinterpret_cast<void **>(&translation), &length));
    if (translation != nullptr && length >= 4) {
        CHECK_EQ(translation[0], WORD(0x040C));
        CHECK_EQ(translation[1], WORD(1200));
    }
    CHECK_EQ(versionString(info, L"ProductName"), std::wstring(L"Update"));
    CHECK_EQ(versionString(info, L"FileVersion"), std::wstring(L"1.01.0002"));
    CHECK_EQ(versionString(info, L"FileDescription"),
             std::wstring(L"Programme de mise \u00e0 jour de Kestrel 11"));
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    const std::wstring mode = argc > 1 ? argv[1] : L"";
    if (mode == L"--sleep" && argc > 2)
        return sleepUntilEnded(argv[2]);
    if (mode == L"--program-folder" && argc > 2)
        return writeProgramFolder(argv[2]);

    kestrel::wintest::Runner runner;
    runner.add("probeFindsTheApplicationInAnyLetterCase", probeFindsTheApplicationInAnyLetterCase);
    runner.add("probeFindsAProcessStartedInCapitals", probeFindsAProcessStartedInCapitals);
    runner.add("probeComparesWholeNamesOnly", probeComparesWholeNamesOnly);
    runner.add("probeFindsLongNames", probeFindsLongNames);
    runner.add("probeNeverMatchesAPath", probeNeverMatchesAPath);
    runner.add("probeSeesEachMoment", probeSeesEachMoment);
    runner.add("probeIgnoresAnEndedProcessStillHeldOpen", probeIgnoresAnEndedProcessStillHeldOpen);
    runner.add("probeWithTwoInstances", probeWithTwoInstances);
    runner.add("probeComparesAccentedNamesAsUtf8", probeComparesAccentedNamesAsUtf8);
    runner.add("separatorIsBackslash", separatorIsBackslash);
    runner.add("ordinaryFileExcludesFoldersHiddenAndSystemFiles", ordinaryFileExcludesFoldersHiddenAndSystemFiles);
    runner.add("outputFileWritesBlocksAtTheirOffsets", outputFileWritesBlocksAtTheirOffsets);
    runner.add("programFolderIsOwnFolderWithoutTrailingBackslash", programFolderIsOwnFolderWithoutTrailingBackslash);
    runner.add("programFolderOfACopyElsewhere", programFolderOfACopyElsewhere);
    runner.add("programFolderAtADriveRoot", programFolderAtADriveRoot);
    runner.add("versionResourceNamesTheProductInFrench", versionResourceNamesTheProductInFrench);
    kestrel::wintest::addLinkTests(runner);
    return runner.runAll(mode.empty() ? std::string() : printable(mode));
}
