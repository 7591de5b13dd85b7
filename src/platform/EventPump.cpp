#include "platform/EventPump.h"

#include <QCoreApplication>

namespace kestrel::platform {

void QtEventPump::processPendingEvents()
{
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

} // namespace kestrel::platform
