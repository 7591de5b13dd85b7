#pragma once

// A window stand-in for the step procedures: it records boxes, progress values, the end of
// the program and the controller calls, and answers boxes from a script.

#include "core/StepHost.h"
#include "platform/EventPump.h"
#include "platform/Https.h"
#include "platform/MessageBoxes.h"
#include "platform/ProgramEnd.h"
#include "platform/ProgressBar.h"
#include "support/QtPrinters.h"

#include <QCoreApplication>
#include <QString>

#include <deque>
#include <functional>
#include <vector>

namespace kestrel::test {

struct RecordedBox {
    QString text;
    QString title;
    platform::BoxIcon icon;
    platform::BoxButtons buttons;
};

// Answers boxes from a queue (OK when it runs dry) and records each one.
class ScriptedBoxes : public platform::MessageBoxes {
public:
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
    // Runs while a box is "open", before its answer is returned (e.g. to end a process).
    std::function<void(const RecordedBox &)> onShow;
};

class RecordingProgressBar : public platform::ProgressBar {
public:
    bool setValue(float value) override
    {
        const bool accepted = platform::ProgressBar::setValue(value);
        if (accepted)
            values.push_back(value);
        else
            ++refused;
        return accepted;
    }
    std::vector<float> values;  // every value accepted, in order
    int refused = 0;
};

class CountingPump : public platform::EventPump {
public:
    void processPendingEvents() override
    {
        ++calls;
        if (alsoProcessQtEvents)
            QCoreApplication::processEvents();
    }
    int calls = 0;
    bool alsoProcessQtEvents = true;
};

class RecordingProgramEnd : public platform::ProgramEnd {
public:
    void endProgram() override { ++ended; }
    int ended = 0;
};

class FakeStepHost : public core::StepHost {
public:
    core::UpdateContext &context() override { return ctx; }
    platform::ProgressBar &progressBar() override { return bar; }
    platform::MessageBoxes &messageBoxes() override { return boxes; }
    platform::EventPump &eventPump() override { return pump; }
    platform::ProgramEnd &programEnd() override { return end; }
    const platform::UpdateService &updateService() override { return service; }
    void ShowStepCompleted() override { ++stepsCompleted; }
    void TriggerNextStep() override
    {
        ++nextStepsTriggered;
        if (onTriggerNextStep)
            onTriggerNextStep();
    }
    void enableActionButton() override { ++buttonEnabled; }

    core::UpdateContext ctx;
    RecordingProgressBar bar;
    ScriptedBoxes boxes;
    CountingPump pump;
    RecordingProgramEnd end;
    platform::UpdateService service;
    int stepsCompleted = 0;
    int nextStepsTriggered = 0;
    int buttonEnabled = 0;
    std::function<void()> onTriggerNextStep;
};

} // namespace kestrel::test
