#pragma once

#include "core/UpdateContext.h"

namespace kestrel::platform {
class EventPump;
class MessageBoxes;
class ProgramEnd;
class ProgressBar;
struct UpdateService;
}

namespace kestrel::core {

// What the step procedures may reach of the main window. A step procedure drives the
// progress bar and shows boxes; it never touches the status text, the button or the icons,
// except the download handlers, which finish the asynchronous step for the controller.
class StepHost {
public:
    virtual ~StepHost() = default;
    virtual UpdateContext &context() = 0;
    virtual platform::ProgressBar &progressBar() = 0;
    virtual platform::MessageBoxes &messageBoxes() = 0;
    virtual platform::EventPump &eventPump() = 0;
    virtual platform::ProgramEnd &programEnd() = 0;
    virtual const platform::UpdateService &updateService() = 0;

    // The controller's side, for the download handlers.
    virtual void ShowStepCompleted() = 0;
    virtual void TriggerNextStep() = 0;
    virtual void enableActionButton() = 0;
};

} // namespace kestrel::core
