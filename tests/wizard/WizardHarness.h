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

    // Each step procedure answers the next scripted result (true when the script runs dry);
    // a download stands for one that has ended, its handlers' work done.
    std::deque<bool> prerequisites, downloads, installs, cleanups;
    std::vector<int> calls; // step numbers, in the order their procedures ran

protected:
    bool CheckPrerequisites() override { return next(1, prerequisites); }
    bool StartDownload() override
    {
        const bool stored = next(2, downloads);
        if (!stored)
            enableActionButton();
        return stored;
    }
    bool StartInstall() override { return next(3, installs); }
    bool CleanTemporaryFiles() override { return next(4, cleanups); }

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
    WizardFixture();

    QPushButton *button() const;
    QLabel *status() const;
    Icon icon(int index) const;
    std::vector<Icon> icons() const;

    QNetworkAccessManager network;
    ScriptedBoxes boxes;
    RecordingProgramEnd end;
    CountingPump pump;
    std::unique_ptr<ScriptedWizard> window;
};

} // namespace kestrel::test
