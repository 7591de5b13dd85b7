#include "FakeStepHost.h"

#include <QCoreApplication>

namespace kestrel::test {

BoxAnswer ScriptedBoxes::show(const QString &text, const QString &title, BoxIcon icon, BoxButtons buttons)
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

bool RecordingProgressBar::setValue(float value)
{
    if (!ProgressBar::setValue(value)) {
        ++refused;
        return false;
    }
    values.push_back(value);
    return true;
}

void CountingPump::processPendingEvents()
{
    ++calls;
    if (alsoProcessQtEvents)
        QCoreApplication::processEvents();
}

} // namespace kestrel::test
