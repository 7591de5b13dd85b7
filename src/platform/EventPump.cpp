#include "EventPump.h"

#include <QCoreApplication>

namespace kestrel {

void QtEventPump::processPendingEvents()
{
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

} // namespace kestrel
