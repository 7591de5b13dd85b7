#include "SupportContact.h"

#include "KestrelConfig.h"
#include "Product.h"

namespace kestrel {

QString SupportContactText()
{
    return CRLF + CRLF
        + QStringLiteral("Si vous rencontrez des difficultés, veuillez contacter notre support technique :")
        + CRLF + QStringLiteral("- Email : ") + QString::fromUtf8(config::kSupportEmail)
        + CRLF + QStringLiteral("- Téléphone : ") + QString::fromUtf8(config::kSupportPhone);
}

} // namespace kestrel
