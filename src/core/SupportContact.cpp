#include "core/SupportContact.h"

#include "core/Product.h"
#include "platform/KestrelConfig.h"

namespace kestrel::core {

SupportContacts configuredSupportContacts()
{
    return {QString::fromUtf8(platform::config::kSupportEmail), QString::fromUtf8(platform::config::kSupportPhone),
            QString::fromUtf8(platform::config::kSupportWebsite)};
}

QString SupportContactText()
{
    const SupportContacts contacts = configuredSupportContacts();
    return QString::fromLatin1(CRLF) + CRLF
        + QStringLiteral("Si vous rencontrez des difficultés, veuillez contacter notre support technique :")
        + CRLF + QStringLiteral("- Email : ") + contacts.email
        + CRLF + QStringLiteral("- Téléphone : ") + contacts.phone;
}

} // namespace kestrel::core
