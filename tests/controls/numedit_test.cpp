#include "numedit.h"
#include "updown.h"

#include "qtprint.h"

#include <QApplication>
#include <QKeyEvent>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

#include <cmath>

using corvane::NumEdit;
using corvane::UpDown;

namespace {

// Shows the text with the caret at a given place, as the user would have left it.
void prepare(NumEdit& edit, const QString& text, int caret) {
    edit.setText(text);
    edit.setCursorPosition(caret);
}

void typeChar(NumEdit& edit, QChar c) {
    QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(c));
    QApplication::sendEvent(&edit, &press);
}

}  // namespace

TEST(NumEditFilter, NothingGoesInFrontOfAMinus) {
    NumEdit edit;
    edit.setAllowMinus(true);

    prepare(edit, "12", 0);
    QTest::keyClick(&edit, '-');
    EXPECT_EQ(edit.text(), "-12");

    prepare(edit, "12", 1);
    QTest::keyClick(&edit, '-');
    EXPECT_EQ(edit.text(), "12");

    prepare(edit, "-12", 0);
    QTest::keyClick(&edit, '7');
    QTest::keyClick(&edit, '-');
    EXPECT_EQ(edit.text(), "-12");
    // Even Enter is swallowed there, so no validation happens.
    edit.setMax(5);
    prepare(edit, "-12", 0);
    QTest::keyClick(&edit, Qt::Key_Return);
    EXPECT_EQ(edit.text(), "-12");
}

TEST(NumEditFilter, SelectionIsReplaced) {
    NumEdit edit;
    edit.setAllowMinus(true);
    prepare(edit, "-12", 0);
    edit.selectAll();
    QTest::keyClick(&edit, '7');
    EXPECT_EQ(edit.text(), "7");

    prepare(edit, "-12", 0);
    edit.selectAll();
    QTest::keyClick(&edit, '-');
    EXPECT_EQ(edit.text(), "-");
}

TEST(NumEditFilter, OneDecimalPointOnlyWhenAllowed) {
    NumEdit edit;
    prepare(edit, "3", 1);
    QTest::keyClick(&edit, '.');
    EXPECT_EQ(edit.text(), "3");

    edit.setAllowDecimal(true);
    for (int caret : {0, 1, 3}) {
        prepare(edit, "3.5", caret);
        QTest::keyClick(&edit, '.');
        EXPECT_EQ(edit.text(), "3.5") << "caret " << caret;
    }
    prepare(edit, "3", 1);
    QTest::keyClick(&edit, '.');
    EXPECT_EQ(edit.text(), "3.");
    prepare(edit, "", 0);
    QTest::keyClick(&edit, '.');
    EXPECT_EQ(edit.text(), ".");
}

TEST(NumEditFilter, OtherCharactersAreDroppedButRecorded) {
    NumEdit edit;
    prepare(edit, "4", 1);
    QTest::keyClick(&edit, '-');
    QTest::keyClick(&edit, 'a');
    EXPECT_EQ(edit.keyPressed(), 'a');
    QTest::keyClick(&edit, ' ');
    typeChar(edit, QChar(0xE9));
    EXPECT_EQ(edit.text(), "4");
    EXPECT_EQ(edit.keyPressed(), -23);  // 0xE9 as a signed byte

    QTest::keyClick(&edit, Qt::Key_Backspace);
    EXPECT_EQ(edit.text(), "");
    EXPECT_EQ(edit.keyPressed(), 8);
}

TEST(NumEditValidation, TypedValueStaysUntilEnter) {
    NumEdit edit;  // the transparency editor's level field
    edit.setMax(255);
    edit.clear();
    QTest::keyClicks(&edit, "300");
    EXPECT_EQ(edit.text(), "300");
    EXPECT_EQ(edit.number(), 300);
    QTest::keyClick(&edit, Qt::Key_Return);
    EXPECT_EQ(edit.text(), "255");
    EXPECT_EQ(edit.number(), 255);
    EXPECT_EQ(edit.keyPressed(), 13);

    // Validation clamps but keeps fractions; text that is no number reads 0.
    edit.setText("2.5");  // pasted: not filtered
    QTest::keyClick(&edit, Qt::Key_Return);
    EXPECT_EQ(edit.text(), "2.5");
    edit.setText("abc");
    QTest::keyClick(&edit, Qt::Key_Return);
    EXPECT_EQ(edit.text(), "0");
}

TEST(NumEditValidation, LeavingTheBoxValidates) {
    QWidget window;
    auto* edit = new NumEdit(&window);
    auto* other = new QLineEdit(&window);
    other->move(0, 40);
    window.show();
    QApplication::setActiveWindow(&window);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));

    edit->setMin(5);
    edit->setFocus();
    edit->clear();
    other->setFocus();
    EXPECT_EQ(edit->text(), "5");

    edit->setFocus();
    edit->clear();
    QTest::keyClicks(edit, "2000");
    QTest::keyClick(edit, Qt::Key_Tab);
    EXPECT_TRUE(other->hasFocus());
    EXPECT_EQ(edit->text(), "1000");

    // Another exit handler replaces the validation.
    edit->setOnExit({});
    edit->setFocus();
    edit->setText("abc");
    other->setFocus();
    EXPECT_EQ(edit->text(), "abc");
}

TEST(NumEditSetters, WholeNumberRuleMovesNegativesUp) {
    NumEdit edit;
    edit.setAllowMinus(true);
    const std::pair<double, const char*> cases[] = {{-5, "-4"}, {-6, "-5"}, {7.5, "8"}, {2.4, "2"}, {-0.3, "0"}};
    for (const auto& [value, shown] : cases) {
        edit.setNumber(value);
        EXPECT_EQ(edit.text(), shown) << value;
    }
    // The lightening setting: a stored -4 comes back as -3.
    edit.setMax(100);
    edit.setMin(-100);
    edit.setNumber(-4);
    EXPECT_EQ(edit.number(), -3);

    edit.setAllowDecimal(true);
    edit.setNumber(2.5);
    EXPECT_EQ(edit.text(), "2.5");
    edit.setAllowDecimal(false);
    EXPECT_EQ(edit.text(), "3");
}

TEST(NumEditSetters, NumberIsClampedBeforeItIsMadeWhole) {
    NumEdit edit;
    edit.setMax(10.4);
    edit.setNumber(50);
    EXPECT_EQ(edit.text(), "10");
    edit.setMin(-3.7);
    edit.setNumber(-50);
    EXPECT_EQ(edit.text(), "-3");  // just outside the bound, as the rule has it
}

TEST(NumEditSetters, RangeMustStayOrdered) {
    NumEdit edit;
    edit.setMin(100);
    EXPECT_EQ(edit.text(), "100");
    edit.setText("42");
    edit.setMax(50);  // not above Min: ignored, but the value is shown again
    EXPECT_EQ(edit.max(), 1000);
    EXPECT_EQ(edit.text(), "100");
    edit.setMin(2000);
    EXPECT_EQ(edit.min(), 100);
}

TEST(NumEditSetters, DisallowingMinusNegatesTheValue) {
    NumEdit edit;
    edit.setAllowMinus(true);
    edit.clear();
    QTest::keyClicks(&edit, "-7");
    QTest::keyClick(&edit, Qt::Key_Enter);
    EXPECT_EQ(edit.text(), "-7");
    edit.setAllowMinus(false);
    EXPECT_EQ(edit.text(), "7");
}

TEST(NumEditSetters, EqualTextRaisesNoChange) {
    NumEdit edit;
    QSignalSpy changes(&edit, &QLineEdit::textChanged);
    edit.setNumber(5);
    edit.setNumber(5);
    edit.setMax(500);
    EXPECT_EQ(changes.count(), 1);
}

TEST(NumEditReading, OnlyTheFirstCommaIsRemoved) {
    NumEdit edit;
    edit.setText("1,000");
    EXPECT_EQ(edit.number(), 1000);
    EXPECT_EQ(edit.text(), "1000");

    edit.setText("1,000,000");
    EXPECT_EQ(edit.number(), 1000);
    EXPECT_EQ(edit.text(), "1000,000");
}

TEST(NumEditReading, ParsesLikeTheCLibrary) {
    EXPECT_EQ(NumEdit::parse(" 12abc"), 12);
    EXPECT_EQ(NumEdit::parse("-2.5e1x"), -25);
    EXPECT_EQ(NumEdit::parse(".5"), 0.5);
    EXPECT_EQ(NumEdit::parse("7."), 7);
    EXPECT_EQ(NumEdit::parse("3e"), 3);
    EXPECT_EQ(NumEdit::parse("-"), 0);
    EXPECT_EQ(NumEdit::parse("."), 0);
    EXPECT_EQ(NumEdit::parse("inf"), 0);
    EXPECT_TRUE(std::isinf(NumEdit::parse("1e999")));
    EXPECT_EQ(NumEdit::parse("0.1e-999"), 0);
}

TEST(UpDownArrows, WriteTheirPositionIntoTheEdit) {
    NumEdit edit;  // the main window's lightening edit with its arrows
    edit.setAllowMinus(true);
    edit.setMax(5000);
    UpDown arrows;
    arrows.setRange(-50, 50);
    arrows.setPosition(-5);
    arrows.setAssociate(&edit);
    EXPECT_EQ(edit.text(), "-5");

    edit.setText("20");
    arrows.step(true);
    EXPECT_EQ(edit.text(), "21");
    edit.setText("50");
    arrows.step(true);  // no wrap-around
    EXPECT_EQ(edit.text(), "50");
    edit.setText("77");  // outside the arrows' range: they keep their own position
    arrows.step(false);
    EXPECT_EQ(edit.text(), "49");
    QTest::keyClick(&edit, Qt::Key_Down);
    EXPECT_EQ(edit.text(), "48");

    // Thousands are written with a separator that the edit reads past.
    arrows.setRange(0, 5000);
    arrows.setPosition(999);
    arrows.step(true);
    EXPECT_EQ(edit.text(), "1,000");
    EXPECT_EQ(edit.number(), 1000);
}
