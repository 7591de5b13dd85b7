#pragma once

// A window stand-in for the step procedures: records boxes, progress, the program's end and controller calls; answers boxes from a script.

#include "core/StepHost.h"
#include "platform/EventPump.h"
#include "platform/Https.h"
#include "platform/MessageBoxes.h"
#include "platform/ProgramEnd.h"
#include "platform/ProgressBar.h"
#include "support/TestKit.h"

#include <deque>

namespace kestrel::test {

struct RecordedBox {
    QString text, title;
    platform::BoxIcon icon;
    platform::BoxButtons buttons;
};

// Answers from a queue (OK, else Abort, once it runs dry) and records each box; onShow runs while a box is "open".
struct ScriptedBoxes : platform::MessageBoxes {
    platform::BoxAnswer show(const QString &text, const QString &title, platform::BoxIcon icon, platform::BoxButtons buttons) override
    {
        shown.push_back({text, title, icon, buttons});
        if (onShow)
            onShow(shown.back());
        if (answers.empty())
            return buttons == platform::BoxButtons::Ok ? platform::BoxAnswer::Ok : platform::BoxAnswer::Abort;
        const platform::BoxAnswer answer = answers.front();
        answers.pop_front();
        return answer;
    }
    std::vector<RecordedBox> shown;
    std::deque<platform::BoxAnswer> answers;
    std::function<void(const RecordedBox &)> onShow;
};

// Every value the bar accepted, in order.
struct RecordingProgressBar : platform::ProgressBar {
    bool setValue(float value) override { return platform::ProgressBar::setValue(value) && (values.push_back(value), true); }
    std::vector<float> values;
};

struct CountingPump : platform::EventPump {
    void processPendingEvents() override
    {
        if (++calls, alsoProcessQtEvents)
            QCoreApplication::processEvents();
    }
    int calls = 0;
    bool alsoProcessQtEvents = true;
};

struct RecordingProgramEnd : platform::ProgramEnd {
    void endProgram() override { ++ended; }
    int ended = 0;
};

struct FakeStepHost : core::StepHost {
    core::UpdateContext &context() override { return ctx; }
    platform::ProgressBar &progressBar() override { return bar; }
    platform::MessageBoxes &messageBoxes() override { return boxes; }
    platform::EventPump &eventPump() override { return pump; }
    platform::ProgramEnd &programEnd() override { return end; }
    const platform::UpdateService &updateService() override { return service; }
    void ShowStepCompleted() override { ++stepsCompleted; }
    void TriggerNextStep() override
    {
        if (++nextStepsTriggered, onTriggerNextStep)
            onTriggerNextStep();
    }
    void enableActionButton() override { ++buttonEnabled; }

    core::UpdateContext ctx;
    RecordingProgressBar bar;
    ScriptedBoxes boxes;
    CountingPump pump;
    RecordingProgramEnd end;
    platform::UpdateService service;
    int stepsCompleted = 0, nextStepsTriggered = 0, buttonEnabled = 0;
    std::function<void()> onTriggerNextStep;
};

} // namespace kestrel::test
