// The pictures compiled into the panel, read back the way the panel reads
// them.
#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QImage>

#include "panel_resources.h"

namespace {

QGuiApplication& App() {
    static int argc = 1;
    static char name[] = "test_panel_resources";
    static char* argv[] = {name, nullptr};
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    static QGuiApplication* app = new QGuiApplication(argc, argv);
    return *app;
}

// How many pixels are covered in one picture and clear in the other.
int ShapeDifference(const QImage& a, const QImage& b) {
    int differ = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x)
            differ += (qAlpha(a.pixel(x, y)) > 127) != (qAlpha(b.pixel(x, y)) > 127);
    return differ;
}

}  // namespace

TEST(PanelResources, IconsLoadAndStatesDifferInShape) {
    App();
    InitPanelResources();
    struct Icon {
        const char* name;
        int width, height;
    };
    for (const Icon& icon : {Icon{"SERVER_CONN", 16, 16}, Icon{"SERVER_DISC", 16, 16},
                             Icon{"SERVER_ERR", 16, 16}, Icon{"SERVER_MID", 16, 16},
                             Icon{"MAINICON", 32, 32}, Icon{"VARN", 49, 41}}) {
        const QImage image(QString(":/icons/") + icon.name);
        ASSERT_FALSE(image.isNull()) << icon.name;
        EXPECT_EQ(image.size(), QSize(icon.width, icon.height)) << icon.name;
        EXPECT_TRUE(image.hasAlphaChannel()) << icon.name << " should be clear around its shape";
    }

    // Told apart without colour: each pair of status icons differs in at
    // least a fifth of the 256 pixels by coverage alone.
    const QImage conn(":/icons/SERVER_CONN"), disc(":/icons/SERVER_DISC"), err(":/icons/SERVER_ERR");
    EXPECT_GE(ShapeDifference(conn, disc), 51);
    EXPECT_GE(ShapeDifference(conn, err), 51);
    EXPECT_GE(ShapeDifference(disc, err), 51);
}
