// UpDown: the pair of arrows beside a numeric edit.  It keeps its own
// position within its own range and writes it into its associate's text as a
// whole number; the edit box's filter is not involved, and the edit's own
// Min/Max apply only when that box is validated.
#pragma once

#include <QTimer>
#include <QWidget>

namespace corvane {

class NumEdit;

class UpDown : public QWidget {
    Q_OBJECT

public:
    explicit UpDown(QWidget* parent = nullptr);

    // The edit box the arrows write to; it receives the position at once, and
    // its Up and Down keys step the arrows.
    void setAssociate(NumEdit* edit);
    NumEdit* associate() const { return associate_; }

    int min() const { return min_; }
    int max() const { return max_; }
    void setRange(int min, int max);

    int position() const { return position_; }
    void setPosition(int position);  // clamped into the range, then written out

    int increment() const { return increment_; }
    void setIncrement(int step) { increment_ = step; }

    bool wrap() const { return wrap_; }
    void setWrap(bool wrap) { wrap_ = wrap; }

    // Writes 1000 as "1,000", as the arrows always did; the edit box drops
    // that first comma when it reads its number.
    bool thousands() const { return thousands_; }
    void setThousands(bool thousands) { thousands_ = thousands; }

    // One click: take the associate's text back when it holds a whole number
    // within the range, step by one increment (up or down) and write it out.
    void step(bool up);

    QSize sizeHint() const override { return {15, 21}; }

signals:
    void clicked(bool up);
    void positionChanged(int position);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void writeAssociate();
    void readAssociate();
    QString positionText() const;

    NumEdit* associate_ = nullptr;
    int min_ = 0;
    int max_ = 100;
    int position_ = 0;
    int increment_ = 1;
    bool wrap_ = false;
    bool thousands_ = true;
    int pressedHalf_ = 0;  // +1 upper arrow held, -1 lower, 0 none
    QTimer repeat_;
};

}  // namespace corvane
