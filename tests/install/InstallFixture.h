#pragma once

// A temporary parent folder holding the application folder (kestrel11.exe, updates folder) and a neighbour; a fake window.

#include "install/EngineTypes.h"
#include "support/FakeStepHost.h"
#include "support/zip/ZipBuilder.h"

namespace kestrel::install {
class ArrivingPackage;
}

namespace kestrel::test {

QString qtPath(const std::filesystem::path &path);
std::string fileText(const std::filesystem::path &file); // the file's bytes, or "<absent>"
// Runs the crash child, which must end killed at that point: installing PACKAGE into TARGET, or recovering with "--recover" UPDATES.
void runCrashChild(std::string first, std::string second, std::size_t point);

// Tells arriving the package's bytes in five batches, as a download would, and waits until it has read them.
void arriveInBatches(install::ArrivingPackage &arriving, const std::filesystem::path &package, const std::filesystem::path &target,
                     const std::string &bytes);

// Counts the engine's busy calls, and nothing else.
struct BusyCounter : install::InstallObserver {
    void started(std::size_t) override {}
    void topLevelStaged(std::size_t) override {}
    void busy() override { ++calls; }
    int calls = 0;
};

class InstallFixture : public ::testing::Test {
protected:
    void SetUp() override;
    bool install(); // the installation step on the package, through the fake window; staged as it arrived when m_early
    void writePackage(const std::vector<zip::Entry> &entries, zip::Compression compression = zip::Compression::Deflated) { zip::writeZip(m_package, entries, compression); }
    void writeAppFile(const std::string &relative, const std::string &content);
    // One failure box, word for word as the installation shows them, whose description contains descriptionPart.
    void expectOneFailureBox(const std::string &descriptionPart);
    // Installs, expects a failure told in one box (boxes shown before are dropped), and nothing changed in or around the application folder.
    void expectRefused(const std::string &descriptionPart);

    QTemporaryDir m_temporary;
    std::filesystem::path m_parent, m_app, m_updates, m_package;
    FakeStepHost m_host;
    bool m_early = false;
};

} // namespace kestrel::test
