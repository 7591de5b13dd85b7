#include "InstallFixture.h"

#include "Install.h"
#include "SupportContact.h"

#include <fstream>

namespace fs = std::filesystem;

namespace kestrel::test {

void PrintTo(const TreeItem &item, std::ostream *out)
{
    *out << item.type << ' ' << std::oct << item.permissions << std::dec << ' ' << item.content.size() << " octets";
}

Tree snapshot(const fs::path &root)
{
    Tree tree;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
        const fs::file_status status = it->symlink_status();
        TreeItem item{'s', {}, static_cast<unsigned>(status.permissions())};
        if (fs::is_symlink(status)) {
            item.type = 'l';
            item.content = fs::read_symlink(it->path()).string();
        } else if (fs::is_directory(status)) {
            item.type = 'd';
        } else if (fs::is_regular_file(status)) {
            item.type = 'f';
            item.content = zip::readFile(it->path());
        }
        tree.emplace(it->path().lexically_relative(root).generic_string(), item);
    }
    return tree;
}

std::string fileText(const fs::path &file)
{
    return fs::is_regular_file(file) ? zip::readFile(file) : std::string("<absent>");
}

QString qtPath(const fs::path &path)
{
    return QString::fromStdString(path.string());
}

void InstallFixture::SetUp()
{
    ASSERT_TRUE(m_temporary.isValid());
    m_parent = fs::path(m_temporary.path().toStdString()) / "programmes";
    m_app = m_parent / "Kestrel 11";
    m_updates = m_app / "updates";
    fs::create_directories(m_updates);
    fs::create_directories(m_parent / "voisin");
    zip::writeFile(m_parent / "voisin" / "notes.txt", "à garder");
    zip::writeFile(m_app / "kestrel11.exe", "ancienne version");
    m_package = m_updates / "maj_kestrel11_11.2.zip";
    m_host.ctx.appFolder = qtPath(m_app) + '/';
    m_host.ctx.updatesFolder = qtPath(m_updates) + '/';
    m_host.ctx.packagePath = qtPath(m_package);
    m_host.pump.alsoProcessQtEvents = false;
}

bool InstallFixture::install()
{
    return InstallPackage(m_host, m_host.ctx.packagePath, m_host.ctx.appFolder);
}

void InstallFixture::writePackage(const std::vector<zip::Entry> &entries, zip::Compression compression)
{
    zip::writeZip(m_package, entries, compression);
}

void InstallFixture::writeAppFile(const std::string &relative, const std::string &content)
{
    fs::create_directories((m_app / relative).parent_path());
    zip::writeFile(m_app / relative, content);
}

void InstallFixture::expectOneFailureBox(const std::string &descriptionPart)
{
    ASSERT_EQ(m_host.boxes.shown.size(), 1U);
    const RecordedBox &box = m_host.boxes.shown.front();
    const QString prefix = QStringLiteral("Une erreur est survenue lors de l'installation de la mise à jour : \r\n");
    EXPECT_TRUE(box.text.startsWith(prefix)) << box.text.toStdString();
    EXPECT_TRUE(box.text.endsWith(SupportContactText()));
    const QString description = box.text.mid(prefix.size(), box.text.size() - prefix.size() - SupportContactText().size());
    EXPECT_FALSE(description.trimmed().isEmpty());
    EXPECT_TRUE(description.contains(QString::fromStdString(descriptionPart))) << description.toStdString();
    EXPECT_EQ(box.title, QStringLiteral("Installation de la mise à jour"));
    EXPECT_EQ(box.icon, BoxIcon::Critical);
    EXPECT_EQ(box.buttons, BoxButtons::Ok);
}

} // namespace kestrel::test
