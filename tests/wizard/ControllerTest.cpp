// The step controller driven through the real window, with scripted step procedures.
#include "WizardHarness.h"

#include "KestrelConfig.h"
#include "SupportContact.h"

#include <gtest/gtest.h>

using namespace kestrel;
using namespace kestrel::test;

namespace {

const QString kCRLF = QStringLiteral("\r\n");
const QString kSuccess = QStringLiteral("Mise à jour terminée avec succès\u00A0!");

TEST(Controller, OneClickRunsEveryStepToTerminerWhichEndsTheProgram)
{
    WizardFixture f;
    EXPECT_EQ(f.window->windowTitle(), QStringLiteral("Mise à jour Kestrel 11"));
    EXPECT_EQ(f.button()->text(), QStringLiteral("Commencer"));
    EXPECT_EQ(f.icons(), std::vector<Icon>(5, Icon::Pending));
    f.window->context().latestVersion = QStringLiteral("11.0.27");

    f.button()->click();

    EXPECT_EQ(f.window->calls, (std::vector<int>{1, 2, 3, 4}));
    EXPECT_EQ(f.window->context().currentStep, 5);
    EXPECT_EQ(f.button()->text(), QStringLiteral("Terminer"));
    EXPECT_TRUE(f.button()->isEnabled());
    EXPECT_EQ(f.status()->text(),
              kSuccess + kCRLF + QStringLiteral("Vous utilisez maintenant la version 11.0.27 de Kestrel 11.") + kCRLF
                  + QStringLiteral("Cliquez sur \"Terminer\" pour fermer le programme de mise à jour."));
    EXPECT_EQ(f.icons(), std::vector<Icon>(5, Icon::Done));
    ASSERT_EQ(f.boxes.shown.size(), 1U);
    EXPECT_EQ(f.boxes.shown[0].text, kSuccess + SupportContactText());
    EXPECT_EQ(f.boxes.shown[0].title, QStringLiteral("Mise à jour"));
    EXPECT_EQ(f.boxes.shown[0].icon, BoxIcon::Information);
    EXPECT_EQ(f.boxes.shown[0].buttons, BoxButtons::Ok);

    f.window->TriggerNextStep(); // past the last step: nothing moves
    EXPECT_EQ(f.window->context().currentStep, 5);
    EXPECT_EQ(f.end.ended, 0);
    f.button()->click();
    EXPECT_EQ(f.end.ended, 1);
    EXPECT_EQ(f.window->calls.size(), 4U);
    EXPECT_EQ(f.boxes.shown.size(), 1U);
}

TEST(Controller, AFailedStepStaysCurrentAndAClickRepeatsIt)
{
    WizardFixture f;
    f.window->prerequisites = {false};
    f.window->downloads = {false};
    f.window->installs = {false};

    f.button()->click();
    EXPECT_EQ(f.window->context().currentStep, 1);
    EXPECT_EQ(f.button()->text(), QStringLiteral("Commencer"));
    EXPECT_TRUE(f.button()->isEnabled());
    EXPECT_EQ(f.status()->text(), QStringLiteral("Vérification des prérequis en cours..."));
    EXPECT_EQ(f.icon(0), Icon::Running);

    f.button()->click(); // step 1 again, then the download fails
    EXPECT_EQ(f.window->calls, (std::vector<int>{1, 1, 2}));
    EXPECT_EQ(f.window->context().currentStep, 2);
    EXPECT_EQ(f.button()->text(), QStringLiteral("Télécharger"));
    EXPECT_TRUE(f.button()->isEnabled());

    f.button()->click(); // the download again, then the installation fails
    EXPECT_EQ(f.window->calls, (std::vector<int>{1, 1, 2, 2, 3}));
    EXPECT_EQ(f.window->context().currentStep, 3);
    EXPECT_EQ(f.button()->text(), QStringLiteral("Installer"));
    EXPECT_EQ(f.icons(), (std::vector<Icon>{Icon::Done, Icon::Done, Icon::Running, Icon::Pending, Icon::Pending}));

    f.button()->click(); // installs again, then cleans and finishes
    EXPECT_EQ(f.window->calls, (std::vector<int>{1, 1, 2, 2, 3, 3, 4}));
    EXPECT_EQ(f.button()->text(), QStringLiteral("Terminer"));
}

TEST(Controller, StepFiveTurnsFinishedBeforeTheSuccessBoxAndStepFourAfter)
{
    WizardFixture f;
    std::vector<Icon> atBox;
    f.boxes.onShow = [&](const RecordedBox &) { atBox = f.icons(); };
    f.button()->click();
    EXPECT_EQ(atBox, (std::vector<Icon>{Icon::Done, Icon::Done, Icon::Done, Icon::Running, Icon::Done}));
    EXPECT_EQ(f.icons(), std::vector<Icon>(5, Icon::Done));
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
    EXPECT_EQ(f.window->calls, (std::vector<int>{1, 1, 1}));
}

// The paragraph that ends the boxes carries the contacts the build was configured with.
TEST(Controller, SupportContactParagraph)
{
    EXPECT_EQ(SupportContactText(),
              kCRLF + kCRLF + QStringLiteral("Si vous rencontrez des difficultés, veuillez contacter notre support technique :")
                  + kCRLF + QStringLiteral("- Email : ") + QString::fromUtf8(config::kSupportEmail) + kCRLF
                  + QStringLiteral("- Téléphone : ") + QString::fromUtf8(config::kSupportPhone));
}

} // namespace
