#include "numedit.h"

#include <QFocusEvent>
#include <QKeyEvent>
#include <QKeySequence>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <string>

namespace corvane {

namespace {

// The character's code as the filter records it: one signed byte, so codes
// above 127 read negative; characters beyond Latin-1 count as "?".
int signedByteCode(QChar c) {
    const char16_t u = c.unicode();
    return u < 256 ? int(int8_t(uint8_t(u))) : int('?');
}

bool isDigit(QChar c) { return c >= u'0' && c <= u'9'; }

// Clipboard and undo commands are editing commands, not characters, so the
// edit box keeps them (pasting is not filtered either).
bool isEditingShortcut(QKeyEvent* e) {
    for (auto key : {QKeySequence::Copy, QKeySequence::Cut, QKeySequence::Paste, QKeySequence::Undo, QKeySequence::Redo,
                     QKeySequence::SelectAll})
        if (e->matches(key)) return true;
    return false;
}

}  // namespace

NumEdit::NumEdit(QWidget* parent) : QLineEdit(parent) {
    onExit_ = [this] { validateNumber(); };
}

QString NumEdit::format(double value) {
    if (value == 0) return QStringLiteral("0");  // never "-0"
    return QString::number(value, 'g', 15);
}

double NumEdit::makeWhole(double value) { return std::trunc(value + 0.5); }

double NumEdit::parse(const QString& text) {
    // Find the longest leading piece of the form
    //   [white space] [sign] digits [. digits] [e [sign] digits]
    // and convert just that, independently of the process locale.
    std::string s;
    s.reserve(size_t(text.size()));
    for (QChar c : text) s.push_back(c.unicode() < 128 ? char(c.unicode()) : '\x7f');

    size_t i = 0;
    while (i < s.size() && (s[i] == ' ' || (s[i] >= '\t' && s[i] <= '\r'))) ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';

    const size_t mantissaStart = i;
    size_t intDigits = 0, leadingZeros = 0, fracDigits = 0, fracZerosBeforeFirst = 0;
    bool seenNonZero = false;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
        if (s[i] != '0') seenNonZero = true;
        if (!seenNonZero) ++leadingZeros;
        ++intDigits;
        ++i;
    }
    if (i < s.size() && s[i] == '.') {
        size_t j = i + 1;
        while (j < s.size() && s[j] >= '0' && s[j] <= '9') {
            if (s[j] != '0') seenNonZero = true;
            if (!seenNonZero) ++fracZerosBeforeFirst;
            ++fracDigits;
            ++j;
        }
        if (intDigits + fracDigits > 0) i = j;
    }
    if (intDigits + fracDigits == 0) return 0;
    long exponent = 0;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        size_t j = i + 1;
        bool expNegative = false;
        if (j < s.size() && (s[j] == '+' || s[j] == '-')) expNegative = s[j++] == '-';
        if (j < s.size() && s[j] >= '0' && s[j] <= '9') {
            while (j < s.size() && s[j] >= '0' && s[j] <= '9') {
                if (exponent < 100000) exponent = exponent * 10 + (s[j] - '0');
                ++j;
            }
            if (expNegative) exponent = -exponent;
            i = j;
        }
    }

    double value = 0;
    const auto [end, ec] = std::from_chars(s.data() + mantissaStart, s.data() + i, value);
    (void)end;
    if (ec == std::errc::result_out_of_range) {
        // Too large overflows to infinity, too small underflows to zero, as strtod does.
        const long magnitude = long(intDigits - leadingZeros) > 0 ? long(intDigits - leadingZeros) + exponent
                                                                  : exponent - long(fracZerosBeforeFirst);
        value = magnitude > 0 ? HUGE_VAL : 0.0;
    } else if (ec != std::errc()) {
        value = 0;
    }
    return negative ? -value : value;
}

void NumEdit::showValue() {
    const QString shown = format(value_);
    // An equal text is left alone so no change notification fires.
    if (shown != text()) setText(shown);
}

double NumEdit::number() {
    QString t = text();
    const qsizetype comma = t.indexOf(u',');
    if (comma >= 0) t.remove(comma, 1);
    if (t != text()) setText(t);
    value_ = parse(t);
    return value_;
}

void NumEdit::setNumber(double value) {
    value_ = value;
    if (value_ > max_) value_ = max_;
    if (!(value_ >= min_)) value_ = min_;
    if (!allowDecimal_) value_ = makeWhole(value_);
    showValue();
}

void NumEdit::setAllowDecimal(bool allow) {
    allowDecimal_ = allow;
    if (!allow) value_ = makeWhole(value_);
    showValue();
}

void NumEdit::setAllowMinus(bool allow) {
    allowMinus_ = allow;
    if (!allow && value_ < 0) value_ = -value_;
    showValue();
}

void NumEdit::setMax(double value) {
    if (value > min_) max_ = value;
    if (value_ > max_) value_ = max_;
    showValue();
}

void NumEdit::setMin(double value) {
    if (value < max_) min_ = value;
    if (value_ < min_) value_ = min_;
    showValue();
}

void NumEdit::validateNumber() {
    double v = text().isEmpty() ? 0.0 : parse(text());
    if (!(v >= min_)) v = min_;
    if (v > max_) v = max_;
    value_ = v;
    showValue();
}

bool NumEdit::filterCharacter(QChar c) {
    keyPressed_ = signedByteCode(c);

    const bool hasSelection = hasSelectedText();
    const int start = hasSelection ? selectionStart() : cursorPosition();
    // Nothing can be typed in front of a minus sign.
    if (!text().isEmpty() && !hasSelection && cursorPosition() == 0 && text().startsWith(u'-')) return false;

    if (isDigit(c) || c == u'\b') return true;
    if (c == u'\t' || c == u'\n' || c == u'\r') {
        validateNumber();
        return false;  // the character itself goes no further
    }
    if (c == u'-') return allowMinus_ && (text().isEmpty() || start == 0);
    if (c == u'.') return allowDecimal_ && !text().contains(u'.');
    return false;
}

bool NumEdit::event(QEvent* event) {
    // Tab normally moves the focus before the key reaches keyPressEvent; it
    // still counts as a typed character that validates the box.
    if (event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        if ((key->key() == Qt::Key_Tab || key->key() == Qt::Key_Backtab) &&
            !(key->modifiers() & (Qt::ControlModifier | Qt::AltModifier)))
            filterCharacter(u'\t');
    }
    // Ctrl+Z and Ctrl+Shift+Z are the field's only while it has typing of its
    // own to take back; else they reach the window's Undo and Redo.
    if (event->type() == QEvent::ShortcutOverride) {
        auto* key = static_cast<QKeyEvent*>(event);
        if ((key->matches(QKeySequence::Undo) && !isUndoAvailable()) ||
            (key->matches(QKeySequence::Redo) && !isRedoAvailable())) {
            event->ignore();
            return false;
        }
    }
    return QLineEdit::event(event);
}

void NumEdit::keyPressEvent(QKeyEvent* event) {
    const QString typed = event->text();
    const int key = event->key();
    if (typed.isEmpty() || key == Qt::Key_Delete || key == Qt::Key_Tab || key == Qt::Key_Backtab ||
        isEditingShortcut(event)) {
        QLineEdit::keyPressEvent(event);
        return;
    }
    if (filterCharacter(typed.at(0))) QLineEdit::keyPressEvent(event);
    else event->accept();
}

void NumEdit::focusOutEvent(QFocusEvent* event) {
    QLineEdit::focusOutEvent(event);
    // Switching to another window or opening a menu does not leave the box.
    if (event->reason() == Qt::ActiveWindowFocusReason || event->reason() == Qt::PopupFocusReason) return;
    if (onExit_) onExit_();
}

}  // namespace corvane
