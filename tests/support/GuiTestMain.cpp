#include <gtest/gtest.h>

#include <QApplication>
#include "app/FormStyle.h"

// Widget tests run on the offscreen platform unless a display is asked for.
int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    QApplication::setStyle(new kf::FormStyle);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
