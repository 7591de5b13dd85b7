#pragma once

#include <QString>

#include <array>

namespace kestrel::wizard {

// What the window says of each step.
struct StepTexts {
    QString name;         // the step's row in the left pane
    QString startText;    // status text when the step starts
    QString doneLine;     // line added to the status text when it completes
    QString nextCaption;  // button caption once it has completed
};

// The five steps in their order: prerequisites, download, installation, cleanup, end.
const std::array<StepTexts, 5> &stepTexts();

// The button's caption on the welcome page, and once the update is over.
QString startCaption();
QString finishCaption();

// "Mise à jour terminée avec succès !" (a no-break space before the mark).
QString succeededText();

// The status text once the cleanup is done, three lines joined by CR LF.
QString closingStatusText(const QString &displayName, const QString &version);

} // namespace kestrel::wizard
