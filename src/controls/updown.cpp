#include "updown.h"

#include "numedit.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QStyle>
#include <QStyleOption>

#include <algorithm>

namespace corvane {

UpDown::UpDown(QWidget* parent) : QWidget(parent) {
    resize(sizeHint());
    // Holding an arrow keeps stepping, first after a pause, then faster.
    repeat_.setSingleShot(false);
    connect(&repeat_, &QTimer::timeout, this, [this] {
        repeat_.setInterval(50);
        if (pressedHalf_ != 0) step(pressedHalf_ > 0);
    });
}

void UpDown::setAssociate(NumEdit* edit) {
    if (associate_) associate_->removeEventFilter(this);
    associate_ = edit;
    if (associate_) {
        associate_->installEventFilter(this);
        writeAssociate();
    }
}

void UpDown::setRange(int min, int max) {
    min_ = min;
    max_ = max;
    setPosition(position_);
}

void UpDown::setPosition(int position) {
    const int clamped = std::clamp(position, std::min(min_, max_), std::max(min_, max_));
    const bool changed = clamped != position_;
    position_ = clamped;
    writeAssociate();
    if (changed) emit positionChanged(position_);
}

QString UpDown::positionText() const {
    QString digits = QString::number(std::abs(qint64(position_)));
    if (thousands_)
        for (qsizetype at = digits.size() - 3; at > 0; at -= 3) digits.insert(at, u',');
    return position_ < 0 ? QStringLiteral("-") + digits : digits;
}

void UpDown::writeAssociate() {
    if (associate_ && associate_->text() != positionText()) associate_->setText(positionText());
}

void UpDown::readAssociate() {
    if (!associate_) return;
    QString t = associate_->text();
    t.remove(u',');
    bool ok = false;
    const int value = t.trimmed().toInt(&ok);
    // Text that is not a whole number within the range leaves the arrows where they were.
    if (ok && value >= std::min(min_, max_) && value <= std::max(min_, max_)) position_ = value;
}

void UpDown::step(bool up) {
    readAssociate();
    const int lo = std::min(min_, max_), hi = std::max(min_, max_);
    long long next = position_ + (long long)(up ? increment_ : -increment_);
    if (next > hi) next = wrap_ ? lo : hi;
    if (next < lo) next = wrap_ ? hi : lo;
    const bool changed = next != position_;
    position_ = int(next);
    writeAssociate();
    emit clicked(up);
    if (changed) emit positionChanged(position_);
}

void UpDown::paintEvent(QPaintEvent*) {
    QPainter p(this);
    const int half = height() / 2;
    const QRect halves[2] = {QRect(0, 0, width(), half), QRect(0, half, width(), height() - half)};
    for (int i = 0; i < 2; ++i) {
        QStyleOptionButton button;
        button.initFrom(this);
        button.rect = halves[i];
        const bool sunken = pressedHalf_ == (i == 0 ? 1 : -1);
        button.state |= sunken ? QStyle::State_Sunken : QStyle::State_Raised;
        style()->drawPrimitive(QStyle::PE_PanelButtonBevel, &button, &p, this);
        QStyleOption arrow;
        arrow.initFrom(this);
        arrow.rect = halves[i].adjusted(2, 2, -2, -2);
        style()->drawPrimitive(i == 0 ? QStyle::PE_IndicatorArrowUp : QStyle::PE_IndicatorArrowDown, &arrow, &p, this);
    }
}

void UpDown::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return;
    pressedHalf_ = event->position().y() < height() / 2 ? 1 : -1;
    step(pressedHalf_ > 0);
    repeat_.start(400);
    update();
}

void UpDown::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return;
    pressedHalf_ = 0;
    repeat_.stop();
    update();
}

bool UpDown::eventFilter(QObject* watched, QEvent* event) {
    if (watched == associate_ && event->type() == QEvent::KeyPress && isEnabled()) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Up || key == Qt::Key_Down) {
            step(key == Qt::Key_Up);
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

}  // namespace corvane
