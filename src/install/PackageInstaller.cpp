#include "install/PackageInstaller.h"

#include "install/ArrivingPackage.h"
#include "install/InstallErrors.h"
#include "install/OwnFiles.h"
#include "install/PackageReader.h"
#include "install/Recovery.h"
#include "install/Staging.h"
#include "install/SwitchOver.h"
#include "install/ZipLayout.h"

#include <set>

namespace fs = std::filesystem;

namespace kestrel::install {

namespace {

class Installer {
public:
    Installer(fs::path package, fs::path target, InstallObserver &observer)
        : m_package(std::move(package)), m_target(withoutTrailingSeparator(std::move(target))),
          m_staging(m_package.parent_path() / kStagingFolderName, observer), m_observer(observer),
          m_checker(m_target, m_staging.folder(), m_package)
    {
    }

    // The staging goes on every path, except when it holds a switch record: a switch-over to
    // finish or undo at the next start.
    ~Installer()
    {
        if (m_stagingCreated && !existsHere(m_staging.folder() / "switch-record"))
            dropStaging(m_staging.folder());
    }

    InstallResult run(ArrivingPackage *early)
    {
        std::unique_ptr<StagedStream> staged = early ? early->take(m_observer) : nullptr;
        ReaderPtr reader = openZip(m_package);
        if (!reader && isEmptyZip(m_package))
            return {InstallOutcome::Failed, message::nothingToInstall()};
        if (!reader)
            return {InstallOutcome::CannotOpen, {}};
        ZipListing listing;
        std::optional<std::string> failure = checkZipLayout(m_package, listing);
        for (const std::string &name : listing.withoutMode)
            m_withoutMode.insert(relativePath(readEntryPath(name)));
        if (!failure)
            failure = scanPackage(reader.get(), m_checker, m_plan, &m_observer);
        reader.reset();
        if (!failure)
            failure = checkTargetParent();
        if (!failure && staged && staged->matches(listing, m_plan)) {
            m_staging = staged->adopt(m_observer);
            m_stagingCreated = m_stagedEarly = true;
            m_observer.started(m_plan.topLevel.size());
            for (std::size_t done = 1; done <= m_plan.topLevel.size(); ++done)
                m_observer.topLevelStaged(done);
        } else {
            staged.reset();
            if (!failure)
                failure = checkFreeSpace();
            if (!failure)
                failure = recoverLeftover();
            if (!failure)
                failure = m_staging.prepare(m_stagingCreated);
            if (!failure) {
                m_observer.started(m_plan.topLevel.size());
                failure = m_staging.stage(m_package, m_checker, m_plan);
            }
        }
        if (!failure)
            failure = switchOver();
        if (failure)
            return {InstallOutcome::Failed, *failure, m_stagedEarly};
        return {InstallOutcome::Installed, {}, m_stagedEarly};
    }

private:
    std::optional<std::string> checkTargetParent() const
    {
        std::error_code error;
        if (fs::is_directory(m_target, error) || fs::is_directory(m_target.parent_path(), error))
            return std::nullopt;
        return message::missingParent(m_target);
    }

    // Counts the declared sizes: staging is written in full before anything moves, and the
    // backups are renames on the same volume.
    std::optional<std::string> checkFreeSpace() const
    {
        std::error_code error;
        const fs::space_info space = fs::space(m_staging.folder().parent_path(), error);
        if (error || space.available >= m_plan.totalBytes)
            return std::nullopt;
        return message::noSpace(m_plan.totalBytes, space.available);
    }

    // A switch-over left by a crash is settled before its staging is replaced.
    std::optional<std::string> recoverLeftover()
    {
        const RecoveryResult recovery = recoverInterruptedInstall(m_staging.folder().parent_path());
        if (recovery.outcome == RecoveryOutcome::Failed)
            return recovery.description;
        return std::nullopt;
    }

    std::optional<std::string> switchOver()
    {
        std::error_code error;
        if (!fs::is_directory(linkStatus(m_target))) {
            fs::create_directory(m_target, error);
            if (error)
                return message::cannotCreateTarget(m_target, error);
        }
        SwitchOver switchOver({m_target, m_staging.folder()}, m_observer);
        std::optional<std::string> failure = switchOver.plan(m_plan.topLevel, m_withoutMode);
        m_observer.busy();
        if (!failure)
            failure = switchOver.checkTargets();
        m_observer.busy();
        if (!failure)
            failure = switchOver.run(m_staging);
        return failure;
    }

    fs::path m_package;
    fs::path m_target;
    Staging m_staging;
    InstallObserver &m_observer;
    EntryChecker m_checker;
    Plan m_plan;
    std::set<std::string> m_withoutMode;
    bool m_stagingCreated = false;
    bool m_stagedEarly = false;
};

} // namespace

InstallResult installPackage(const fs::path &package, const fs::path &target, InstallObserver &observer,
                             ArrivingPackage *early)
{
    try {
        return Installer(package, target, observer).run(early);
    } catch (const std::bad_alloc &) {
        return {InstallOutcome::Failed, message::outOfMemory()};
    } catch (const std::system_error &error) {
        return {InstallOutcome::Failed, message::fileSystem(error.code())};
    }
}

} // namespace kestrel::install
