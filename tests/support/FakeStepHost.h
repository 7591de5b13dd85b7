#pragma once

// A window stand-in for the step procedures: it records boxes, progress values, the end of
// the program and the controller calls, and answers boxes from a script.

#include "EventPump.h"
#include "Https.h"
#include "MessageBoxes.h"
#include "ProgramEnd.h"
#include "ProgressBar.h"
#include "QtPrinters.h"
#include "StepHost.h"

#include <QCoreApplication>
#include <QString>

#include <deque>
#include <functional>
#include <vector>

namespace kestrel::test {

struct RecordedBox {
    QString text;
    QString title;
    BoxIcon icon;
    BoxButtons buttons;
};

// Answers boxes from a queue (OK when it runs dry) and records each one.
class ScriptedBoxes : public MessageBoxes {
public:
    BoxAnswer show(const QString &text, const QString &title, BoxIcon icon, BoxButtons buttons) override
    {
        shown.push_back({text, title, icon, buttons});
        if (onShow)
            onShow(shown.back());
        if (answers.empty())
            return buttons == BoxButtons::Ok ? BoxAnswer::Ok : BoxAnswer::Abort;
        const BoxAnswer answer = answers.front();
        answers.pop_front();
        return answer;
    }
    std::vector<RecordedBox> shown;
    std::deque<BoxAnswer> answers;
    // Runs while a box is "open", before its answer is returned (e.g. to end a process).
    std::function<void(const RecordedBox &)> onShow;
};

class RecordingProgressBar : public ProgressBar {
public:
    bool setValue(float value) override
    {
        const bool accepted = ProgressBar::setValue(value);
        if (accepted)
            values.push_back(value);
        else
            ++refused;
        return accepted;
    }
    std::vector<float> values;  // every value accepted, in order
    int refused = 0;
};

class CountingPump : public EventPump {
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

class RecordingProgramEnd : public ProgramEnd {
public:
    void endProgram() override { ++ended; }
    int ended = 0;
};

class FakeStepHost : public StepHost {
public:
    UpdateContext &context() override { return ctx; }
    ProgressBar &progressBar() override { return bar; }
    MessageBoxes &messageBoxes() override { return boxes; }
    EventPump &eventPump() override { return pump; }
    ProgramEnd &programEnd() override { return end; }
    const UpdateService &updateService() override { return service; }
    void ShowStepCompleted() override { ++stepsCompleted; }
    void TriggerNextStep() override
    {
        ++nextStepsTriggered;
        if (onTriggerNextStep)
            onTriggerNextStep();
    }
    void enableActionButton() override { ++buttonEnabled; }

    UpdateContext ctx;
    RecordingProgressBar bar;
    ScriptedBoxes boxes;
    CountingPump pump;
    RecordingProgramEnd end;
    UpdateService service;
    int stepsCompleted = 0;
    int nextStepsTriggered = 0;
    int buttonEnabled = 0;
    std::function<void()> onTriggerNextStep;
};

} // namespace kestrel::test
