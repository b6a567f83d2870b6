#include <QCoreApplication>
#include <gtest/gtest.h>

// Every test binary runs with a Qt application object, as the agent does, so timers, queued
// calls and the network stack behave as in production.
int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    QCoreApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
