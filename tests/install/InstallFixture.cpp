#include "install/InstallFixture.h"

#include "core/SupportContact.h"
#include "install/ArrivingPackage.h"
#include "install/steps/EarlyStaging.h"
#include "install/steps/Install.h"

#include <spawn.h>
#include <sys/wait.h>

#include <csignal>
#include <cstring>

namespace fs = std::filesystem;

namespace kestrel::test {

QString qtPath(const fs::path &path) { return QString::fromStdString(path.string()); }

std::string fileText(const fs::path &file) { return fs::is_regular_file(file) ? zip::readFile(file) : std::string("<absent>"); }

#ifdef KESTREL_CRASH_CHILD
void runCrashChild(std::string first, std::string second, std::size_t point)
{
    std::string child = KESTREL_CRASH_CHILD, pointText = std::to_string(point);
    char *argv[] = {child.data(), first.data(), second.data(), pointText.data(), nullptr};
    pid_t pid = 0;
    int status = 0;
    ASSERT_EQ(::posix_spawn(&pid, child.c_str(), nullptr, nullptr, argv, environ), 0);
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "status " << status;
}
#endif

void InstallFixture::SetUp()
{
    m_parent = fs::path(m_temporary.path().toStdString()) / "programmes";
    m_app = m_parent / "Kestrel 11";
    m_updates = m_app / "updates";
    m_package = m_updates / "maj_kestrel11_11.2.zip";
    fs::create_directories(m_updates);
    fs::create_directories(m_parent / "voisin");
    zip::writeFile(m_parent / "voisin" / "notes.txt", "à garder");
    zip::writeFile(m_app / "kestrel11.exe", "ancienne version");
    m_host.ctx.appFolder = qtPath(m_app) + '/';
    m_host.ctx.updatesFolder = qtPath(m_updates) + '/';
    m_host.ctx.packagePath = qtPath(m_package);
    m_host.pump.alsoProcessQtEvents = false;
}

void arriveInBatches(install::ArrivingPackage &arriving, const fs::path &package, const fs::path &target, const std::string &bytes)
{
    arriving.start(package, target, [&bytes](std::int64_t offset, char *data, std::size_t size) {
        size = std::min(size, bytes.size() - static_cast<std::size_t>(offset));
        std::memcpy(data, bytes.data() + offset, size);
        return static_cast<std::int64_t>(size);
    });
    for (std::size_t part = 1; part <= 5; ++part)
        arriving.written(static_cast<std::int64_t>(bytes.size() * part / 5));
    while (!arriving.finish(std::chrono::milliseconds(15))) {
    }
}

bool InstallFixture::install()
{
    install::steps::EarlyStaging early;
    if (m_early && fs::exists(m_package))
        arriveInBatches(early.package(), m_package, m_app, zip::readFile(m_package));
    return install::steps::InstallPackage(m_host, m_host.ctx.packagePath, m_host.ctx.appFolder, m_early ? &early : nullptr);
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
    // A package that cannot be opened at all has a box of its own; every other failure tells its description.
    const QString cannotOpen = QStringLiteral("Impossible d'ouvrir le fichier d'installation.") + core::SupportContactText();
    const QString failed = QStringLiteral("Une erreur est survenue lors de l'installation de la mise à jour : \r\n");
    EXPECT_TRUE(box.text == cannotOpen || (box.text.startsWith(failed) && box.text.endsWith(core::SupportContactText())))
        << box.text.toStdString();
    EXPECT_TRUE(box.text.contains(QString::fromStdString(descriptionPart))) << box.text.toStdString();
    EXPECT_EQ(std::make_tuple(box.title, box.icon, box.buttons), std::make_tuple(QStringLiteral("Installation de la mise à jour"), platform::BoxIcon::Critical, platform::BoxButtons::Ok));
}

void InstallFixture::expectRefused(const std::string &descriptionPart)
{
    const zip::Tree before = zip::snapshot(m_parent);
    m_host.boxes.shown.clear();
    EXPECT_FALSE(install());
    expectOneFailureBox(descriptionPart);
    EXPECT_EQ(zip::snapshot(m_parent), before);
}

} // namespace kestrel::test
