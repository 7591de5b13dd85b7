#include "wizard/Application.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    kestrel::platform::prepareApplication(app);
    return kestrel::wizard::runWizard(app);
}
