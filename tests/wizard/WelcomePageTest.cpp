// The welcome page text, and the wait for the empty document before it is written.
#include "FakeStepHost.h"
#include "WelcomePage.h"

#include <QFile>
#include <QRegularExpression>

#include <gtest/gtest.h>

using namespace kestrel;
using kestrel::test::CountingPump;

namespace {

// Contacts of their own, so that the page matches whatever the build was configured with.
const SupportContacts kContacts{QStringLiteral("aide@exemple.test"), QStringLiteral("+33 9 99 99 99 99"),
                                QStringLiteral("https://www.exemple.test/support")};

// Line by line, then with another name and duration where they belong.
TEST(WelcomePage, MatchesThePageLineByLine)
{
    const QString page = WelcomePageText(QStringLiteral("Kestrel 11"), 5, kContacts);
    EXPECT_FALSE(page.endsWith(QStringLiteral("\r\n")));
    EXPECT_FALSE(page.contains(QRegularExpression(QStringLiteral("[^\r]\n|\r[^\n]"))));
    const QStringList lines = page.split(QStringLiteral("\r\n"));
    QFile file(QStringLiteral(KESTREL_TEST_DATA "/welcome-page.html"));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    // The file ends in one line break, LF alone.
    const QStringList expected = QString::fromUtf8(file.readAll()).chopped(1).split(QLatin1Char('\n'));
    ASSERT_EQ(expected.size(), 75);
    ASSERT_EQ(lines.size(), expected.size());
    for (int i = 0; i < lines.size(); ++i)
        EXPECT_EQ(lines[i], expected[i]) << "line " << i + 1;

    const QStringList other = WelcomePageText(QStringLiteral("Autre Nom"), 12, kContacts).split(QStringLiteral("\r\n"));
    EXPECT_EQ(other[38], QStringLiteral("    <h3>Programme de Mise à Jour de <span class=\"important\">Autre Nom</span>.</h3>"));
    EXPECT_TRUE(other[39].startsWith(QStringLiteral("    <p>Nous vous remercions d'utiliser <strong>Autre Nom</strong>. ")));
    EXPECT_TRUE(other[65].contains(QStringLiteral("environ <strong>12</strong> minutes.")));
}

class ScriptedView : public HtmlView {
public:
    void navigateToBlank() override { log += QStringLiteral("navigate;"); }
    int readyState() override
    {
        log += QStringLiteral("state;");
        return notReady < 0 || notReady-- > 0 ? 1 : kReadyStateComplete;
    }
    void writeDocument(const QString &html) override { log += QStringLiteral("write:") + html; }
    int notReady = 0; // how many reads answer "not ready"; -1: all of them
    QString log;
};

// The page is written once the empty document is ready, or after the limit when it never gets ready.
TEST(WelcomePage, WaitsProcessingEventsUntilTheDocumentIsReady)
{
    for (const int notReady : {0, 3, -1}) {
        SCOPED_TRACE(notReady);
        ScriptedView view;
        view.notReady = notReady;
        CountingPump pump;
        ShowPage(view, pump, [] { return QStringLiteral("page"); }, std::chrono::milliseconds(notReady < 0 ? 50 : 300000));
        if (notReady < 0)
            EXPECT_GT(pump.calls, 0);
        else
            EXPECT_EQ(pump.calls, notReady);
        EXPECT_TRUE(view.log.startsWith(QStringLiteral("navigate;state;")));
        EXPECT_TRUE(view.log.endsWith(QStringLiteral("write:page")));
    }
}

} // namespace
