#pragma once

namespace kestrel::core {
class StepHost;
}

namespace kestrel::install::steps {

// The wizard's start, once the window has loaded and holds its folder: a switch-over that a
// crash or a power cut interrupted is finished or undone, and the user told in one box.
void SettleInterruptedInstall(core::StepHost &host);

} // namespace kestrel::install::steps
