#pragma once

// The real window with scripted step procedures, for the controller and start-up tests.

#include "FakeStepHost.h"
#include "FrmUpdate.h"

#include <QLabel>
#include <QNetworkAccessManager>
#include <QPushButton>

#include <deque>
#include <memory>
#include <vector>

namespace kestrel::test {

class ScriptedWizard : public FrmUpdate {
public:
    using FrmUpdate::FrmUpdate;

    // Each step procedure answers the next scripted result (true when the script runs dry).
    std::deque<bool> prerequisites, installs;
    std::vector<int> calls; // step numbers, in the order their procedures ran

protected:
    bool CheckPrerequisites() override { return next(1, prerequisites); }
    bool StartDownload() override
    {
        calls.push_back(2);
        return false;
    }
    bool StartInstall() override { return next(3, installs); }
    bool CleanTemporaryFiles() override
    {
        calls.push_back(4);
        return true;
    }

private:
    bool next(int step, std::deque<bool> &script)
    {
        calls.push_back(step);
        if (script.empty())
            return true;
        const bool result = script.front();
        script.pop_front();
        return result;
    }
};

enum class Icon { Pending, Running, Done, Other };

struct WizardFixture {
    enum class Boxes { Scripted, Real };
    explicit WizardFixture(Boxes kind = Boxes::Scripted);

    QPushButton *button() const;
    QLabel *status() const;
    Icon icon(int index) const;
    // What the download's completion handler does for the controller after a good download.
    void completeDownload();

    QNetworkAccessManager network;
    ScriptedBoxes boxes;
    QtMessageBoxes realBoxes;
    RecordingProgramEnd end;
    CountingPump pump;
    std::unique_ptr<ScriptedWizard> window;
};

} // namespace kestrel::test
