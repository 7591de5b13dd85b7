#pragma once

#include "UpdateContext.h"

namespace kestrel {

class EventPump;
class MessageBoxes;
class ProgramEnd;
class ProgressBar;
struct UpdateService;

// What the step procedures may reach of the main window. A step procedure drives the
// progress bar and shows boxes; it never touches the status text, the button or the icons,
// except the download handlers, which finish the asynchronous step for the controller.
class StepHost {
public:
    virtual ~StepHost() = default;
    virtual UpdateContext &context() = 0;
    virtual ProgressBar &progressBar() = 0;
    virtual MessageBoxes &messageBoxes() = 0;
    virtual EventPump &eventPump() = 0;
    virtual ProgramEnd &programEnd() = 0;
    virtual const UpdateService &updateService() = 0;

    // The controller's side, for the download handlers.
    virtual void ShowStepCompleted() = 0;
    virtual void TriggerNextStep() = 0;
    virtual void enableActionButton() = 0;
};

} // namespace kestrel
