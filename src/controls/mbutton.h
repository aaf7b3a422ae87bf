// MButton: a bitmap inside a thin three-dimensional frame.  It can show its
// frame while the pointer is over it, latch, act as a two-halved rocker and
// drop down a menu from its lower-left corner.
#pragma once

#include <QColor>
#include <QPixmap>
#include <QPoint>
#include <QWidget>

#include <array>

class QMenu;

namespace corvane {

class MButton : public QWidget {
    Q_OBJECT

public:
    explicit MButton(QWidget* parent = nullptr);

    // Runs modally from the press; the button is up again once it closes.
    QMenu* dropDownMenu() const { return menu_; }
    void setDropDownMenu(QMenu* menu) { menu_ = menu; }

    const QPixmap& bitmap() const { return bitmap_; }
    void setBitmap(const QPixmap& bitmap);

    // Each of these repaints at once.
    bool latch() const { return latch_; }
    void setLatch(bool on);
    bool isDown() const { return down_; }
    void setDown(bool on);
    bool border() const { return border_; }  // frame while up
    void setBorder(bool on);
    bool stretch() const { return stretch_; }  // stretched square, else centred
    void setStretch(bool on);
    bool rockerLR() const { return rockerLR_; }  // left and right halves
    void setRockerLR(bool on);
    bool rockerUD() const { return rockerUD_; }  // kept for descriptions; no effect
    void setRockerUD(bool on);
    bool highlight() const { return highlight_; }  // frame while the pointer is over it
    void setHighlight(bool on);

    // After a rocker press: whether the left half was pressed.
    bool clickLeft() const { return clickLeft_; }

    // Stored only; the next repaint uses them.
    QColor colorDark() const { return colorDark_; }
    void setColorDark(const QColor& colour) { colorDark_ = colour; }
    QColor colorLight() const { return colorLight_; }
    void setColorLight(const QColor& colour) { colorLight_ = colour; }
    QColor color() const;
    void setColor(const QColor& colour);

    void stateChanged() { repaint(); }

signals:
    void clicked();
    void mousePressed(Qt::MouseButton button, QPoint position);
    void mouseReleased(Qt::MouseButton button, QPoint position);
    void mouseMoved(QPoint position);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    // Pen colours of the eight frame segments, from the lower-left corner up
    // the left edge and clockwise round; also settles ClickLeft.
    std::array<QColor, 8> frameColours();
    void press(QMouseEvent* event);
    void stopTracking();

    QMenu* menu_ = nullptr;
    QPixmap bitmap_;
    bool latch_ = false;
    bool down_ = false;
    bool border_ = true;
    bool stretch_ = true;
    bool rockerLR_ = false;
    bool rockerUD_ = false;
    bool highlight_ = true;
    bool clickLeft_ = false;
    bool hot_ = false;       // only during the repaint made when the pointer arrives
    bool tracking_ = false;  // the pointer has been seen over the button
    bool clickArmed_ = false;
    QPoint lastPress_;
    QColor colorDark_;
    QColor colorLight_;
    QColor color_;
};

}  // namespace corvane
