// Installs a package and kills itself (as a power cut would stop it) at one point of the switch-over, or recovers and
// kills itself before one rename of the undo:  install_crash_child PACKAGE TARGET POINT | --recover UPDATES POINT

#include "install/PackageInstaller.h"
#include "install/Recovery.h"
#include "install/SwitchOver.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <csignal>
#endif
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::size_t g_killAt = 0;

void killNow()
{
#ifdef _WIN32
    ::TerminateProcess(::GetCurrentProcess(), 9);
#else
    std::raise(SIGKILL);
#endif
}

struct Quiet final : kestrel::install::InstallObserver {
    void started(std::size_t) override {}
    void topLevelStaged(std::size_t) override {}
    void busy() override {}
};

} // namespace

int main(int argc, char **argv)
{
    if (argc != 4)
        return 2;
    g_killAt = std::strtoull(argv[3], nullptr, 10);
    const auto killHere = [](std::size_t point) { return point == g_killAt ? (killNow(), std::error_code()) : std::error_code(); };
    if (argv[1] == std::string("--recover")) {
        kestrel::install::setUndoPointHook(killHere);
        std::fprintf(stderr, "not killed: %s\n", kestrel::install::recoverInterruptedInstall(argv[2]).description.c_str());
        return 1;
    }
    kestrel::install::setSwitchPointHook(killHere);
    Quiet observer;
    std::fprintf(stderr, "not killed: %s\n", kestrel::install::installPackage(argv[1], argv[2], observer).description.c_str());
    return 1;
}
