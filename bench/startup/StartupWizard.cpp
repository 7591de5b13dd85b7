// The Update program's own start-up (the same two calls as its main), reporting the time of
// its window's first paint.
#include "Application.h"
#include "FirstPaint.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    FirstPaintReporter::mainEntered();
    QApplication app(argc, argv);
    FirstPaintReporter reporter;
    kestrel::prepareApplication(app);
    return kestrel::runWizard(app);
}
