// The smallest Qt Widgets window: a label, shown. Reports the time of its first paint.
#include "startup/FirstPaint.h"

#include <QApplication>
#include <QLabel>
#include <QVBoxLayout>
#include <QWidget>

int main(int argc, char *argv[])
{
    FirstPaintReporter::mainEntered();
    QApplication app(argc, argv);
    FirstPaintReporter reporter;
    QWidget window;
    auto *layout = new QVBoxLayout(&window);
    layout->addWidget(new QLabel(QStringLiteral("Bonjour")));
    window.show();
    return app.exec();
}
