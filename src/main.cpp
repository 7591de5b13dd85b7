#include "Application.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    kestrel::prepareApplication(app);
    return kestrel::runWizard(app);
}
