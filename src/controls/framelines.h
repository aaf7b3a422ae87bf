// Pixel-exact frame lines for the custom-drawn buttons.
#pragma once

#include <QColor>
#include <QPainter>
#include <QPoint>
#include <QRect>

#include <algorithm>

namespace corvane {

// Draws a horizontal or vertical line from pen toward to, leaving out the end
// point (the next segment starts there), and moves pen to it.  Joined
// segments then colour every corner pixel exactly once.
inline void frameLineTo(QPainter& painter, QPoint& pen, QPoint to, const QColor& colour) {
    QRect line;
    if (pen.x() == to.x() && pen.y() != to.y()) {
        const int top = to.y() > pen.y() ? pen.y() : to.y() + 1;
        line = QRect(pen.x(), top, 1, std::abs(to.y() - pen.y()));
    } else if (pen.y() == to.y() && pen.x() != to.x()) {
        const int left = to.x() > pen.x() ? pen.x() : to.x() + 1;
        line = QRect(left, pen.y(), std::abs(to.x() - pen.x()), 1);
    }
    if (!line.isEmpty()) painter.fillRect(line, colour);
    pen = to;
}

}  // namespace corvane
