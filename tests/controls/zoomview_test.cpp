// The zoomable view driven by keys and the wheel, and what it draws at 8x,
// judged in device pixels from the texel positions.
#include "zoomview.h"

#include "qtprint.h"
#include "../support/scaledrun.h"

#include <QApplication>
#include <QProcess>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>
#include <QWheelEvent>

#include <gtest/gtest.h>

#include <algorithm>

namespace corvane {
namespace {

// Opaque texels, each of its own colour, all far from the grid's grey.
QImage texels(int edge) {
    QImage image(edge, edge, QImage::Format_ARGB32);
    for (int y = 0; y < edge; ++y)
        for (int x = 0; x < edge; ++x) image.setPixel(x, y, qRgb(10 + 3 * x, 240 - 3 * y, x % 2 ? 20 : 230));
    return image;
}

void ctrlWheel(QWidget* viewport, int delta, Qt::KeyboardModifiers modifiers = Qt::ControlModifier) {
    const QPointF at(viewport->width() / 2.0, viewport->height() / 2.0);
    QWheelEvent event(at, viewport->mapToGlobal(at), QPoint(), QPoint(0, delta), Qt::NoButton, modifiers,
                      Qt::NoScrollPhase, false);
    QApplication::sendEvent(viewport, &event);
}

TEST(ZoomView, KeysAndWheelStepTheZoomBetweenFitAndThirtyTwo) {
    ZoomView view;
    view.resize(300, 300);
    view.setImage(texels(64));
    view.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));
    QSignalSpy changes(&view, &ZoomView::zoomChanged);

    // Fitted: the largest whole texel size that fits.
    ASSERT_TRUE(view.fitting());
    const int fit = std::min(view.viewport()->width(), view.viewport()->height()) / 64;
    EXPECT_EQ(view.devicePixelsPerTexel(), fit * view.devicePixelRatioF());

    QTest::keyClick(&view, Qt::Key_1, Qt::ControlModifier);
    EXPECT_EQ(view.zoom(), 1);
    QTest::keyClick(&view, Qt::Key_Plus, Qt::ControlModifier);
    EXPECT_EQ(view.zoom(), 2);
    QTest::keyClick(&view, Qt::Key_Equal, Qt::ControlModifier);
    EXPECT_EQ(view.zoom(), 3);
    QTest::keyClick(&view, Qt::Key_Minus, Qt::ControlModifier);
    EXPECT_EQ(view.zoom(), 2);
    QTest::keyClick(&view, Qt::Key_0, Qt::ControlModifier);
    EXPECT_TRUE(view.fitting());
    EXPECT_EQ(view.zoom(), fit);
    EXPECT_EQ(changes.count(), 5);

    ctrlWheel(view.viewport(), 120);
    EXPECT_GT(view.zoom(), fit);
    EXPECT_FALSE(view.fitting());
    ctrlWheel(view.viewport(), -120);
    EXPECT_EQ(view.zoom(), fit);
    ctrlWheel(view.viewport(), 120, Qt::NoModifier);  // a plain wheel scrolls
    EXPECT_EQ(view.zoom(), fit);

    for (int i = 0; i < 20; ++i) QTest::keyClick(&view, Qt::Key_Plus, Qt::ControlModifier);
    EXPECT_EQ(view.zoom(), 32);
    EXPECT_GT(view.horizontalScrollBar()->maximum(), 0);
    EXPECT_GT(view.verticalScrollBar()->maximum(), 0);
    for (int i = 0; i < 20; ++i) QTest::keyClick(&view, Qt::Key_Minus, Qt::ControlModifier);
    EXPECT_EQ(view.zoom(), 1);  // the level fits larger, so 100% is the least
}

// Run as it is, and again under other screen scales by the test below.
TEST(ZoomView, GridAtEightTimesOnTexelBoundariesAndTexelsSolidInside) {
    const QImage image = texels(16);
    ZoomView view;
    view.resize(100, 90);  // smaller than the zoomed level, scrolled to its top-left corner
    view.setImage(image);
    view.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));
    view.setZoom(8);
    view.horizontalScrollBar()->setValue(0);
    view.verticalScrollBar()->setValue(0);

    const QImage shot = view.viewport()->grab().toImage().convertToFormat(QImage::Format_RGB32);
    const qreal ratio = view.devicePixelRatioF();
    const int s = qRound(8 * ratio);  // device pixels a texel
    ASSERT_EQ(8 * ratio, s) << "screen scales giving whole device pixels only";
    ASSERT_GE(shot.width(), 2 * s);
    int checked = 0;
    for (int ty = 0; (ty + 1) * s <= shot.height(); ++ty)
        for (int tx = 0; (tx + 1) * s <= shot.width(); ++tx) {
            const QRgb texel = image.pixel(tx, ty) | 0xff000000u;
            for (int dy = 0; dy < s; ++dy)
                for (int dx = 0; dx < s; ++dx) {
                    const QRgb got = shot.pixel(tx * s + dx, ty * s + dy);
                    if (dx == 0 || dy == 0) ASSERT_NE(got, texel) << "no grid at " << tx << ',' << ty;
                    else ASSERT_EQ(got, texel) << "texel " << tx << ',' << ty << " at " << dx << ',' << dy;
                }
            ++checked;
        }
    EXPECT_GE(checked, 9);

    // Below 8x no grid: a texel is solid to its edge.
    view.resize(50, 40);
    view.setZoom(4);
    view.horizontalScrollBar()->setValue(0);
    view.verticalScrollBar()->setValue(0);
    const QImage four = view.viewport()->grab().toImage().convertToFormat(QImage::Format_RGB32);
    const int f = qRound(4 * ratio);
    for (int dy = 0; dy < f; ++dy)
        for (int dx = 0; dx < f; ++dx) ASSERT_EQ(four.pixel(f + dx, f + dy), image.pixel(1, 1) | 0xff000000u);
}

TEST(ZoomView, GridStaysOnDevicePixelsUnderScreenScales) {
    expectPassesUnderScreenScales("ZoomView.GridAtEightTimesOnTexelBoundariesAndTexelsSolidInside", 120000);
}

}  // namespace
}  // namespace corvane
