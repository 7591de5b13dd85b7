// The Update program's own start-up (the same two calls as its main), reporting the time of
// its window's first paint.
#include "startup/FirstPaint.h"
#include "wizard/Application.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    FirstPaintReporter::mainEntered();
    QApplication app(argc, argv);
    FirstPaintReporter reporter;
    kestrel::platform::prepareApplication(app);
    return kestrel::wizard::runWizard(app);
}
