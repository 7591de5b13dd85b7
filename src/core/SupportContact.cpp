#include "SupportContact.h"

#include "KestrelConfig.h"
#include "Product.h"

namespace kestrel {

SupportContacts configuredSupportContacts()
{
    return {QString::fromUtf8(config::kSupportEmail), QString::fromUtf8(config::kSupportPhone),
            QString::fromUtf8(config::kSupportWebsite)};
}

QString SupportContactText()
{
    const SupportContacts contacts = configuredSupportContacts();
    return CRLF + CRLF
        + QStringLiteral("Si vous rencontrez des difficultés, veuillez contacter notre support technique :")
        + CRLF + QStringLiteral("- Email : ") + contacts.email
        + CRLF + QStringLiteral("- Téléphone : ") + contacts.phone;
}

} // namespace kestrel
