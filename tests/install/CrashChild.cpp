// Installs a package and kills itself with SIGKILL at one point of the switch-over, as a
// power cut or a killed process would stop it.
//
//   install_crash_child PACKAGE TARGET POINT

#include "install/PackageInstaller.h"
#include "install/SwitchOver.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>

namespace {

std::size_t g_killAt = 0;

std::error_code killHere(std::size_t point)
{
    if (point == g_killAt)
        std::raise(SIGKILL);
    return {};
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
    kestrel::install::setSwitchPointHook(killHere);
    Quiet observer;
    const auto result = kestrel::install::installPackage(argv[1], argv[2], observer);
    std::fprintf(stderr, "not killed: %s\n", result.description.c_str());
    return 1;
}
