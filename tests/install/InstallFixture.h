#pragma once

// A temporary parent folder holding the application folder, its updates folder and a
// neighbour folder, with a fake window.

#include "support/FakeStepHost.h"
#include "support/zip/ZipBuilder.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace kestrel::test {

QString qtPath(const std::filesystem::path &path);
// The file's bytes, or "<absent>".
std::string fileText(const std::filesystem::path &file);

class InstallFixture : public ::testing::Test {
protected:
    void SetUp() override;

    bool install(); // InstallPackage(packagePath, appFolder) through the fake window
    void writePackage(const std::vector<zip::Entry> &entries,
                      zip::Compression compression = zip::Compression::Deflated);
    void writeAppFile(const std::string &relative, const std::string &content);
    // One failure box, word for word as the installation shows them, whose description
    // contains descriptionPart.
    void expectOneFailureBox(const std::string &descriptionPart);
    // Installs, expects a failure told in one box, and nothing changed in or around the application folder.
    void expectRefused(const std::string &descriptionPart);

    QTemporaryDir m_temporary;
    std::filesystem::path m_parent;
    std::filesystem::path m_app;
    std::filesystem::path m_updates;
    std::filesystem::path m_package;
    FakeStepHost m_host;
};

} // namespace kestrel::test
