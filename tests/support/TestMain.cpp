// Test entry point: a QApplication for the widgets and the event loop, then GoogleTest.
#include <QApplication>
#include <gtest/gtest.h>

#include "FrenchApplication.h"


int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    kestrel::prepareApplication(app);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
