// The step controller driven through the real window, with scripted step procedures.
#include "WizardHarness.h"

#include "SupportContact.h"

#include <QApplication>
#include <QMessageBox>
#include <QTimer>

#include <gtest/gtest.h>

using namespace kestrel;
using namespace kestrel::test;

namespace {

const QString kCRLF = QStringLiteral("\r\n");
const QString kSuccess = QStringLiteral("Mise à jour terminée avec succès\u00A0!");

std::vector<Icon> icons(const WizardFixture &f)
{
    std::vector<Icon> all;
    for (int i = 0; i < 5; ++i)
        all.push_back(f.icon(i));
    return all;
}

TEST(Controller, StartsWaitingForTheFirstClick)
{
    WizardFixture f;
    EXPECT_EQ(f.window->context().currentStep, 1);
    EXPECT_EQ(f.window->windowTitle(), QStringLiteral("Mise à jour Kestrel 11"));
    EXPECT_EQ(f.button()->text(), QStringLiteral("Commencer"));
    EXPECT_TRUE(f.button()->isEnabled());
    EXPECT_TRUE(f.status()->text().isEmpty());
    EXPECT_EQ(icons(f), std::vector<Icon>(5, Icon::Pending));
    EXPECT_TRUE(f.window->calls.empty());
    EXPECT_TRUE(f.boxes.shown.empty());
}

TEST(Controller, OneClickRunsEveryStepToTerminer)
{
    WizardFixture f;
    f.window->context().latestVersion = QStringLiteral("11.0.27");
    f.button()->click();

    // Step 1 succeeded and step 2 started at once; the download keeps the button disabled.
    EXPECT_EQ(f.window->calls, (std::vector<int>{1, 2}));
    EXPECT_EQ(f.window->context().currentStep, 2);
    EXPECT_FALSE(f.button()->isEnabled());
    EXPECT_EQ(f.button()->text(), QStringLiteral("Télécharger"));
    EXPECT_EQ(f.status()->text(), QStringLiteral("Téléchargement des fichiers de mise à jour..."));
    EXPECT_EQ(icons(f), (std::vector<Icon>{Icon::Done, Icon::Running, Icon::Pending, Icon::Pending, Icon::Pending}));

    f.completeDownload();

    EXPECT_EQ(f.window->calls, (std::vector<int>{1, 2, 3, 4}));
    EXPECT_EQ(f.window->context().currentStep, 5);
    EXPECT_EQ(f.button()->text(), QStringLiteral("Terminer"));
    EXPECT_TRUE(f.button()->isEnabled());
    EXPECT_EQ(f.status()->text(),
              kSuccess + kCRLF + QStringLiteral("Vous utilisez maintenant la version 11.0.27 de Kestrel 11.") + kCRLF
                  + QStringLiteral("Cliquez sur \"Terminer\" pour fermer le programme de mise à jour."));
    EXPECT_EQ(icons(f), std::vector<Icon>(5, Icon::Done));

    ASSERT_EQ(f.boxes.shown.size(), 1U);
    const RecordedBox &box = f.boxes.shown[0];
    EXPECT_EQ(box.text, kSuccess + SupportContactText());
    EXPECT_EQ(box.title, QStringLiteral("Mise à jour"));
    EXPECT_EQ(box.icon, BoxIcon::Information);
    EXPECT_EQ(box.buttons, BoxButtons::Ok);
    EXPECT_EQ(f.end.ended, 0);

    f.button()->click();
    EXPECT_EQ(f.end.ended, 1);
}

TEST(Controller, StepTextsAndCaptions)
{
    struct Row {
        int step;
        QString start;
        QString done;      // empty: the step replaces the text instead
        QString caption;   // after completion
    };
    const std::vector<Row> rows = {
        {1, QStringLiteral("Vérification des prérequis en cours..."),
         QStringLiteral("Vérification des prérequis en cours terminée."), QStringLiteral("Télécharger")},
        {2, QStringLiteral("Téléchargement des fichiers de mise à jour..."),
         QStringLiteral("Téléchargement des fichiers de mise à jour terminée."), QStringLiteral("Installer")},
        {3,
         QStringLiteral("Installation de la mise à jour...") + kCRLF
             + QStringLiteral("Veuillez patienter pendant que les nouveaux fichiers sont installés."),
         QStringLiteral("Installation de la mise à jour terminée."), QStringLiteral("Nettoyer")},
        {4, QStringLiteral("Suppression des fichiers temporaires de mise à jour en cours..."), QString(),
         QStringLiteral("Terminer")},
    };
    WizardFixture f;
    for (const Row &row : rows) {
        SCOPED_TRACE(row.step);
        f.window->context().currentStep = row.step;
        f.window->ShowStepStarted();
        EXPECT_EQ(f.status()->text(), row.start);
        EXPECT_EQ(f.icon(row.step - 1), Icon::Running);
        f.window->ShowStepCompleted();
        if (!row.done.isEmpty()) {
            EXPECT_EQ(f.status()->text(), row.start + kCRLF + row.done);
        }
        EXPECT_EQ(f.button()->text(), row.caption);
        EXPECT_EQ(f.icon(row.step - 1), Icon::Done);
    }
}

TEST(Controller, AFailedStepStaysCurrentAndAClickRepeatsIt)
{
    WizardFixture f;
    f.window->prerequisites = {false, true};
    f.window->installs = {false, true};

    f.button()->click();
    EXPECT_EQ(f.window->context().currentStep, 1);
    EXPECT_EQ(f.button()->text(), QStringLiteral("Commencer"));
    EXPECT_TRUE(f.button()->isEnabled());
    EXPECT_EQ(f.status()->text(), QStringLiteral("Vérification des prérequis en cours..."));
    EXPECT_EQ(f.icon(0), Icon::Running);

    f.button()->click(); // step 1 again, then the download starts
    EXPECT_EQ(f.window->calls, (std::vector<int>{1, 1, 2}));

    // A failed download: the handler enables the button; the step and caption stay.
    f.window->enableActionButton();
    EXPECT_EQ(f.window->context().currentStep, 2);
    EXPECT_EQ(f.button()->text(), QStringLiteral("Télécharger"));
    f.button()->click();
    EXPECT_EQ(f.window->calls, (std::vector<int>{1, 1, 2, 2}));
    EXPECT_FALSE(f.button()->isEnabled());

    f.completeDownload(); // the installation fails
    EXPECT_EQ(f.window->context().currentStep, 3);
    EXPECT_EQ(f.button()->text(), QStringLiteral("Installer"));
    EXPECT_TRUE(f.button()->isEnabled());
    EXPECT_EQ(icons(f), (std::vector<Icon>{Icon::Done, Icon::Done, Icon::Running, Icon::Pending, Icon::Pending}));

    f.status()->clear();
    f.button()->click(); // installs again from its start text, then cleans and finishes
    EXPECT_EQ(f.window->calls, (std::vector<int>{1, 1, 2, 2, 3, 3, 4}));
    EXPECT_EQ(f.window->context().currentStep, 5);
    EXPECT_EQ(f.button()->text(), QStringLiteral("Terminer"));
}

TEST(Controller, StepFiveTurnsFinishedBeforeTheSuccessBoxAndStepFourAfter)
{
    WizardFixture f;
    std::vector<Icon> atBox;
    f.boxes.onShow = [&](const RecordedBox &) { atBox = icons(f); };
    f.button()->click();
    f.completeDownload();
    EXPECT_EQ(atBox, (std::vector<Icon>{Icon::Done, Icon::Done, Icon::Done, Icon::Running, Icon::Done}));
    EXPECT_EQ(icons(f), std::vector<Icon>(5, Icon::Done));
}

TEST(Controller, OnlyTheExactCaptionTerminerEnds)
{
    WizardFixture f;
    f.window->prerequisites = {false, false, false}; // keeps step 1 current and the button enabled
    for (const QString &caption : {QStringLiteral("terminer"), QStringLiteral("Terminer "), QStringLiteral("TERMINER")}) {
        f.button()->setText(caption);
        f.button()->click();
        EXPECT_EQ(f.end.ended, 0) << caption.toStdString();
    }
    f.button()->setText(QStringLiteral("Terminer"));
    const auto callsBefore = f.window->calls.size();
    f.button()->click();
    EXPECT_EQ(f.end.ended, 1);
    EXPECT_EQ(f.window->calls.size(), callsBefore); // no step ran for the closing click
}

TEST(Controller, TriggerNextStepAtFiveChangesNothing)
{
    WizardFixture f;
    f.button()->click();
    f.completeDownload();
    ASSERT_EQ(f.window->context().currentStep, 5);
    const auto calls = f.window->calls;
    f.window->TriggerNextStep();
    EXPECT_EQ(f.window->context().currentStep, 5);
    EXPECT_EQ(f.window->calls, calls);
    EXPECT_EQ(f.boxes.shown.size(), 1U);
}

TEST(Controller, SupportContactParagraph)
{
    EXPECT_EQ(SupportContactText(),
              kCRLF + kCRLF + QStringLiteral("Si vous rencontrez des difficultés, veuillez contacter notre support technique :")
                  + kCRLF + QStringLiteral("- Email : support@kestrel-software.example") + kCRLF
                  + QStringLiteral("- Téléphone : +33 1 23 45 67 89"));
}

// The success box through a real QMessageBox, dismissed like a user would.
TEST(Controller, RealSuccessBoxIsDismissedWithItsDefaultButton)
{
    WizardFixture f(WizardFixture::Boxes::Real);
    QString seenText;
    QString seenTitle;
    QMessageBox::Icon seenIcon = QMessageBox::NoIcon;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
            seenText = box->text();
            seenTitle = box->windowTitle();
            seenIcon = box->icon();
            box->defaultButton()->click();
        }
    });
    poll.start(20);
    f.button()->click();
    f.completeDownload();
    poll.stop();
    EXPECT_EQ(seenTitle, QStringLiteral("Mise à jour"));
    EXPECT_EQ(seenIcon, QMessageBox::Information);
    EXPECT_TRUE(seenText.startsWith(kSuccess + QStringLiteral("\n\nSi vous rencontrez"))) << seenText.toStdString();
    EXPECT_EQ(f.button()->text(), QStringLiteral("Terminer"));
    EXPECT_EQ(f.icon(3), Icon::Done);
}

} // namespace
