// NumEdit: a one-line edit box for one number, with a range, a whole-number
// rule and a per-character filter.  The value is brought into range only when
// the box is left, on Enter / Tab / line feed, and when Number, Min or Max is
// assigned; while the user types the text is only filtered.
#pragma once

#include <QLineEdit>

#include <functional>

namespace corvane {

class NumEdit : public QLineEdit {
    Q_OBJECT

public:
    explicit NumEdit(QWidget* parent = nullptr);

    // Setters in the order a window description applies them: AllowDecimal,
    // AllowMinus, Number, Max, Min.  Every setter shows the value afterwards.
    bool allowDecimal() const { return allowDecimal_; }
    void setAllowDecimal(bool allow);

    bool allowMinus() const { return allowMinus_; }
    void setAllowMinus(bool allow);

    // Reading parses the text as it stands (no clamping) and drops its first
    // comma, so a thousands separator written by an up-down control goes away.
    double number();
    void setNumber(double value);

    double max() const { return max_; }
    void setMax(double value);  // ignored unless above Min

    double min() const { return min_; }
    void setMin(double value);  // ignored unless below Max

    // Code of the last character typed, before filtering, as a signed byte.
    int keyPressed() const { return keyPressed_; }

    // Takes the text (empty reads as 0), clamps it to Min..Max and shows it.
    // It does not make the value whole.
    void validateNumber();

    // Runs when the box loses focus to another control; validateNumber at
    // first.  An empty handler makes leaving the box do nothing.
    void setOnExit(std::function<void()> handler) { onExit_ = std::move(handler); }

    // The text a value is shown as: up to 15 significant digits, "." as the
    // decimal point whatever the locale.
    static QString format(double value);
    // Reads a leading decimal number the way strtod does in the C locale;
    // no number in front reads as 0.
    static double parse(const QString& text);
    // Adds 0.5 and truncates toward zero (so -5 becomes -4).
    static double makeWhole(double value);

protected:
    bool event(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    // True when the character is taken by the edit box.
    bool filterCharacter(QChar c);
    void showValue();

    double value_ = 0;
    double max_ = 1000;
    double min_ = -1000;
    bool allowDecimal_ = false;
    bool allowMinus_ = false;
    int keyPressed_ = 0;
    std::function<void()> onExit_;
};

}  // namespace corvane
