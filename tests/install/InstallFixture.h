#pragma once

// A temporary parent folder holding the application folder and its updates folder, with a
// fake window, and a byte-for-byte picture of a folder tree to prove that nothing changed.

#include "FakeStepHost.h"
#include "ZipBuilder.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace kestrel::test {

struct TreeItem {
    char type;  // 'f' file, 'd' folder, 'l' link, 's' special
    std::string content;  // file bytes or link target
    unsigned permissions;
    bool operator==(const TreeItem &) const = default;
};
using Tree = std::map<std::string, TreeItem>;
void PrintTo(const TreeItem &item, std::ostream *out);

Tree snapshot(const std::filesystem::path &root);
std::string fileText(const std::filesystem::path &file);
QString qtPath(const std::filesystem::path &path);

class InstallFixture : public ::testing::Test {
protected:
    void SetUp() override;

    bool install();  // InstallPackage(packagePath, appFolder) through the fake window
    void writePackage(const std::vector<zip::Entry> &entries,
                      zip::Compression compression = zip::Compression::Deflated);
    void writeAppFile(const std::string &relative, const std::string &content);
    void expectOneFailureBox(const std::string &descriptionPart = {});

    QTemporaryDir m_temporary;
    std::filesystem::path m_parent;   // holds the application folder and a neighbour
    std::filesystem::path m_app;
    std::filesystem::path m_updates;
    std::filesystem::path m_package;
    FakeStepHost m_host;
};

} // namespace kestrel::test
