#include "mbutton.h"

#include "framelines.h"

#include <QMenu>
#include <QMouseEvent>
#include <QPainter>

namespace corvane {

MButton::MButton(QWidget* parent) : QWidget(parent) {
    // Moves without a button held drive the hover frame.
    setMouseTracking(true);
    colorDark_ = palette().color(QPalette::Shadow);
    colorLight_ = palette().color(QPalette::Midlight);
}

void MButton::setBitmap(const QPixmap& bitmap) {
    bitmap_ = bitmap;
    stateChanged();
}

void MButton::setLatch(bool on) {
    latch_ = on;
    stateChanged();
}
void MButton::setDown(bool on) {
    down_ = on;
    stateChanged();
}
void MButton::setBorder(bool on) {
    border_ = on;
    stateChanged();
}
void MButton::setStretch(bool on) {
    stretch_ = on;
    stateChanged();
}
void MButton::setRockerLR(bool on) {
    rockerLR_ = on;
    stateChanged();
}
void MButton::setRockerUD(bool on) {
    rockerUD_ = on;
    stateChanged();
}
void MButton::setHighlight(bool on) {
    highlight_ = on;
    stateChanged();
}

QColor MButton::color() const { return color_.isValid() ? color_ : palette().color(QPalette::Button); }

void MButton::setColor(const QColor& colour) {
    color_ = colour;
    repaint();
}

std::array<QColor, 8> MButton::frameColours() {
    const QColor L = colorLight_, D = colorDark_;
    if (!down_) {
        if (!border_ && !hot_) {
            const QColor c = color();
            return {c, c, c, c, c, c, c, c};
        }
        return {L, L, L, L, D, D, D, D};
    }
    if (!rockerLR_) return {D, D, D, D, L, L, L, L};
    // A rocker sinks only the half that was pressed.
    clickLeft_ = lastPress_.x() < width() / 2;
    if (clickLeft_) return {D, D, D, L, D, D, D, L};
    return {L, L, L, D, L, L, L, D};
}

void MButton::paintEvent(QPaintEvent*) {
    QPainter p(this);
    const int w = width(), h = height();
    p.fillRect(rect(), color());

    const std::array<QColor, 8> colours = frameColours();
    const std::array<QPoint, 8> ends = {QPoint(0, h / 2),     QPoint(0, 0),         QPoint(w / 2, 0),
                                        QPoint(w - 1, 0),     QPoint(w - 1, h / 2), QPoint(w - 1, h - 1),
                                        QPoint(w / 2, h - 1), QPoint(0, h - 1)};
    QPoint pen(0, h - 1);
    for (size_t i = 0; i < ends.size(); ++i) frameLineTo(p, pen, ends[i], colours[i]);

    if (bitmap_.isNull()) return;
    if (stretch_) {
        // Square, from the height, whatever the width.
        if (h > 6) p.drawPixmap(QRect(2, 2, h - 6, h - 6), bitmap_);
    } else {
        p.drawPixmap((w - bitmap_.width()) / 2, (h - bitmap_.height()) / 2, bitmap_);
    }
}

void MButton::press(QMouseEvent* event) {
    emit mousePressed(event->button(), event->position().toPoint());
    if (event->button() != Qt::LeftButton && event->button() != Qt::MiddleButton) return;
    lastPress_ = event->position().toPoint();
    down_ = latch_ ? !down_ : true;
    repaint();
    if (menu_ && down_) {
        menu_->exec(mapToGlobal(QPoint(0, height())));
        down_ = false;
        clickArmed_ = false;
        stopTracking();
    }
}

void MButton::mousePressEvent(QMouseEvent* event) {
    clickArmed_ = event->button() == Qt::LeftButton;
    press(event);
}

void MButton::mouseDoubleClickEvent(QMouseEvent* event) {
    clickArmed_ = false;
    press(event);
}

void MButton::stopTracking() {
    tracking_ = false;
    repaint();
}

void MButton::mouseMoveEvent(QMouseEvent* event) {
    const QPoint at = event->position().toPoint();
    if (highlight_) {
        if (!tracking_) {
            // The raised frame drawn now stays on screen until the next repaint.
            tracking_ = true;
            hot_ = true;
            repaint();
            hot_ = false;
        }
        if (at.x() < 0 || at.y() < 0 || at.x() > width() || at.y() > height()) {
            stopTracking();
            return;
        }
    }
    emit mouseMoved(at);
}

void MButton::leaveEvent(QEvent* event) {
    // The pointer left without a move outside being seen (no button held).
    if (highlight_ && tracking_) stopTracking();
    QWidget::leaveEvent(event);
}

void MButton::mouseReleaseEvent(QMouseEvent* event) {
    const QPoint at = event->position().toPoint();
    emit mouseReleased(event->button(), at);
    if (event->button() != Qt::LeftButton && event->button() != Qt::MiddleButton) return;
    if (!latch_) down_ = false;
    tracking_ = false;
    repaint();
    if (event->button() == Qt::LeftButton && clickArmed_ && rect().contains(at)) emit clicked();
    clickArmed_ = false;
}

}  // namespace corvane
