#include <QApplication>
#include <gtest/gtest.h>

// Shell tests run the real widgets on the offscreen platform: no display, no tray host.
int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
