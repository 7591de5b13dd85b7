// The reason phrase of a failed status as the user reads it; the service client's and the
// download's tests see it arrive over HTTPS.

#include "Https.h"

#include <gtest/gtest.h>

namespace kestrel::test {
namespace {

struct Phrase {
    const char *name;
    QByteArray onTheWire;
    QString shown;
};

void PrintTo(const Phrase &p, std::ostream *out) { *out << p.name; }

class ReasonPhrase : public ::testing::TestWithParam<Phrase> {};

// Qt hands the phrase over as text read as Latin-1, or, from other clients, as raw bytes.
TEST_P(ReasonPhrase, DecodesAsUtf8WhenValidElseLatin1)
{
    EXPECT_EQ(reasonPhraseText(QVariant(QString::fromLatin1(GetParam().onTheWire))), GetParam().shown);
    EXPECT_EQ(reasonPhraseText(QVariant(GetParam().onTheWire)), GetParam().shown);
}

INSTANTIATE_TEST_SUITE_P(
    Phrases, ReasonPhrase,
    ::testing::Values(Phrase{"Ascii", "Not Found", QStringLiteral("Not Found")},
                      Phrase{"Utf8", "Non trouv\xc3\xa9 \xe2\x80\x94 \xc3\xa0 revoir", QStringLiteral("Non trouvé — à revoir")},
                      Phrase{"Latin1", "Non trouv\xe9", QStringLiteral("Non trouvé")},
                      Phrase{"Utf8CutShort", "Fin \xc3", QStringLiteral("Fin Ã")}),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
} // namespace kestrel::test
