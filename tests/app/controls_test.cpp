#include "app/controls.h"

#include <QApplication>
#include <QClipboard>
#include <QLineEdit>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>

namespace {

// ---- TRadioGroup ----------------------------------------------------------

TEST(RadioGroup, ClickRunsOnlyWhenADifferentItemBecomesSelected)
{
    TRadioGroup group(QStringLiteral("g"), {"a", "b", "c"}, 1, nullptr);
    QSignalSpy clicks(&group, &TRadioGroup::Click);
    EXPECT_EQ(group.ItemIndex(), -1);

    group.setItemIndex(1);
    EXPECT_EQ(clicks.count(), 1);
    group.setItemIndex(1); // the value it already has
    EXPECT_EQ(clicks.count(), 1);

    group.Button(2)->click(); // the user
    EXPECT_EQ(group.ItemIndex(), 2);
    EXPECT_EQ(clicks.count(), 2);
    group.Button(2)->click(); // the checked one again
    EXPECT_EQ(clicks.count(), 2);

    group.setItemIndex(-1); // clearing runs nothing
    EXPECT_EQ(clicks.count(), 2);
    EXPECT_EQ(group.ItemIndex(), -1);
    for (int i = 0; i < group.Count(); ++i)
        EXPECT_FALSE(group.Button(i)->isChecked()) << i;

    group.Button(0)->click(); // selectable again after clearing
    EXPECT_EQ(group.ItemIndex(), 0);
    EXPECT_EQ(clicks.count(), 3);
}

TEST(RadioGroup, OutOfRangeIndexIsBroughtIntoRange)
{
    const struct
    {
        int given;
        int expected;
    } rows[] = {{99, 6}, {7, 6}, {6, 6}, {0, 0}, {-1, -1}, {-5, -1}};
    for (const auto& row : rows) {
        TRadioGroup group(QStringLiteral("g"), {"0", "1", "2", "3", "4", "5", "6"}, 1, nullptr);
        group.setItemIndex(3);
        group.setItemIndex(row.given);
        EXPECT_EQ(group.ItemIndex(), row.expected) << row.given;
    }
}

TEST(RadioGroup, ItemsShareTheAreaBelowTheCaptionInColumns)
{
    TRadioGroup group(QStringLiteral("g"), {"a", "b", "c", "d"}, 2, nullptr);
    group.resize(153, 81);
    group.show();
    // Two columns of two: a and b on the left, c and d on the right.
    EXPECT_EQ(group.Button(0)->x(), group.Button(1)->x());
    EXPECT_LT(group.Button(0)->x(), group.Button(2)->x());
    EXPECT_EQ(group.Button(0)->y(), group.Button(2)->y());
    EXPECT_LT(group.Button(0)->y(), group.Button(1)->y());
    for (int i = 0; i < 4; ++i)
        EXPECT_TRUE(group.rect().contains(group.Button(i)->geometry())) << i;
}

// ---- TUpDown --------------------------------------------------------------

struct TypedCase
{
    const char* typed;
    int expected; // starting from 100
};

class UpDownTyping : public ::testing::TestWithParam<TypedCase>
{
};

TEST_P(UpDownTyping, TypedTextCountsOnlyWhenValidAndInRange)
{
    TUpDown updown({10, 10000}, nullptr);
    updown.setPosition(100);
    updown.show();
    updown.setFocus();
    updown.Buddy()->selectAll();
    QTest::keyClicks(&updown, QString::fromLatin1(GetParam().typed));
    EXPECT_EQ(updown.Position(), GetParam().expected) << GetParam().typed;
    // Leaving the field shows the position that counts.
    updown.clearFocus();
    QTest::keyClick(&updown, Qt::Key_Return);
    EXPECT_EQ(updown.Position(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Typed, UpDownTyping,
                         ::testing::Values(TypedCase{"1,500", 1500}, TypedCase{"1500", 1500},
                                           TypedCase{"10000", 10000},
                                           TypedCase{"20000", 2000}, // the last 0 refused
                                           TypedCase{"abc", 100}, TypedCase{"5", 100}, // below Min
                                           TypedCase{"-3", 100}, TypedCase{"7x", 100}));

TEST(UpDown, StepsByOneWithoutWrappingAndShowsThousandsSeparators)
{
    TUpDown updown({10, 10000}, nullptr);
    updown.setPosition(10000);
    EXPECT_EQ(updown.Buddy()->text(), QStringLiteral("10,000"));
    updown.stepUp();
    EXPECT_EQ(updown.Position(), 10000);
    updown.setPosition(11);
    updown.stepDown();
    EXPECT_EQ(updown.Position(), 10);
    updown.stepDown();
    EXPECT_EQ(updown.Position(), 10);
    updown.setPosition(123456); // clamped
    EXPECT_EQ(updown.Position(), 10000);
    updown.setPosition(-7);
    EXPECT_EQ(updown.Position(), 10);
}

TEST(UpDown, ProgrammaticTextThatIsNotANumberKeepsThePosition)
{
    TUpDown updown({0, 100}, nullptr);
    updown.setPosition(92);
    updown.Buddy()->setText(QStringLiteral("x7"));
    EXPECT_EQ(updown.Position(), 92);
    updown.Buddy()->setText(QStringLiteral("101"));
    EXPECT_EQ(updown.Position(), 92);
    updown.Buddy()->setText(QStringLiteral("64"));
    EXPECT_EQ(updown.Position(), 64);
}

// ---- TColorGrid -----------------------------------------------------------

QPoint cell_centre(const TColorGrid& grid, int index)
{
    const int column = index % 8;
    const int row = index / 8;
    return {(2 * column + 1) * grid.width() / 16, (2 * row + 1) * grid.height() / 4};
}

TEST(ColorGrid, StartsOnCellZeroBlack)
{
    TColorGrid grid(nullptr);
    EXPECT_EQ(grid.ForegroundIndex(), 0);
    EXPECT_EQ(grid.ForegroundColor(), 0x000000u);
}

TEST(ColorGrid, LeftClickSelectsTheColourRightClickOnlyTheSecondSelection)
{
    const struct
    {
        int cell;
        zumo::COLORREF color;
    } rows[] = {{1, 0x000080},  {4, 0x800000},  {7, 0xC0C0C0}, {9, 0x0000FF},
                {11, 0x00FFFF}, {12, 0xFF0000}, {15, 0xFFFFFF}};
    for (const auto& row : rows) {
        TColorGrid grid(nullptr);
        grid.resize(168, 48);
        QTest::mouseClick(&grid, Qt::LeftButton, {}, cell_centre(grid, row.cell));
        EXPECT_EQ(grid.ForegroundIndex(), row.cell);
        EXPECT_EQ(grid.ForegroundColor(), row.color) << row.cell;

        QTest::mouseClick(&grid, Qt::RightButton, {}, cell_centre(grid, 3));
        EXPECT_EQ(grid.BackgroundIndex(), 3);
        EXPECT_EQ(grid.ForegroundColor(), row.color) << "right button changed the colour";
    }
}

TEST(ColorGrid, ArrowsMoveTheFocusFSelectsBSelectsTheSecond)
{
    TColorGrid grid(nullptr);
    grid.resize(168, 48);
    grid.show();
    grid.setFocus();
    QTest::keyClick(&grid, Qt::Key_Left); // at the edge: stays
    QTest::keyClick(&grid, Qt::Key_Up);
    EXPECT_EQ(grid.FocusIndex(), 0);
    QTest::keyClick(&grid, Qt::Key_Right);
    QTest::keyClick(&grid, Qt::Key_Right);
    QTest::keyClick(&grid, Qt::Key_Down);
    EXPECT_EQ(grid.FocusIndex(), 10);
    EXPECT_EQ(grid.ForegroundIndex(), 0) << "moving the focus selects nothing";
    QTest::keyClick(&grid, Qt::Key_F);
    EXPECT_EQ(grid.ForegroundIndex(), 10);
    EXPECT_EQ(grid.ForegroundColor(), 0x00FF00u);
    QTest::keyClick(&grid, Qt::Key_Down); // bottom edge
    for (int i = 0; i < 9; ++i)
        QTest::keyClick(&grid, Qt::Key_Right); // right edge
    EXPECT_EQ(grid.FocusIndex(), 15);
    QTest::keyClick(&grid, Qt::Key_B);
    EXPECT_EQ(grid.BackgroundIndex(), 15);
    EXPECT_EQ(grid.ForegroundIndex(), 10);
}

// ---- single-line edits ----------------------------------------------------

struct PasteCase
{
    const char* before;
    int cursor;   // where the paste goes
    int selected; // characters selected from the cursor on, replaced
    const char* pasted;
    const char* after;
};

class PasteIntoEdit : public ::testing::TestWithParam<PasteCase>
{
};

// A paste keeps what precedes the first line break of the pasted text;
// the text around the paste stays.
TEST_P(PasteIntoEdit, KeepsTheTextBeforeTheFirstLineBreak)
{
    const PasteCase& c = GetParam();
    QWidget owner;
    auto* edit = new QLineEdit(QString::fromUtf8(c.before), &owner);
    zumo::MakeEditsSingleLine(&owner);
    edit->setCursorPosition(c.cursor);
    if (c.selected > 0)
        edit->setSelection(c.cursor, c.selected);
    QApplication::clipboard()->setText(QString::fromUtf8(c.pasted));
    edit->paste();
    EXPECT_EQ(edit->text().toStdString(), c.after);
}

INSTANTIATE_TEST_SUITE_P(Pastes, PasteIntoEdit,
                         ::testing::Values(PasteCase{"", 0, 0, "new\nline", "new"},
                                           PasteCase{"pre", 3, 0, "fix\r\nmore\r\n", "prefix"},
                                           PasteCase{"ab", 1, 0, "X\nY\nZ", "aXb"},
                                           PasteCase{"abcd", 1, 2, "\nrest", "ad"},
                                           PasteCase{"写真", 2, 0, "一\u2028二", "写真一"},
                                           PasteCase{"keep", 4, 0, "plain", "keepplain"}));

TEST(UpDown, APastedLineBreakCutsThePasteToo)
{
    TUpDown updown({10, 10000}, nullptr);
    updown.setPosition(100);
    updown.Buddy()->selectAll();
    QApplication::clipboard()->setText(QStringLiteral("250\n999"));
    updown.Buddy()->paste();
    EXPECT_EQ(updown.Position(), 250);
}

// ---- TCheckListBox --------------------------------------------------------

TEST(CheckListBox, LinesAreAddedUncheckedAndReadByIndex)
{
    TCheckListBox list(nullptr);
    list.Add("a.jpg");
    list.Add("写真.png");
    ASSERT_EQ(list.Count(), 2);
    EXPECT_FALSE(list.Checked(0));
    EXPECT_FALSE(list.Checked(1));
    list.setChecked(1, true);
    EXPECT_TRUE(list.Checked(1));
    EXPECT_EQ(list.Text(1), "写真.png");
    EXPECT_FALSE(list.Checked(5));
    EXPECT_EQ(list.Text(5), "");
    EXPECT_EQ(list.ItemIndex(), -1);
}

TEST(CheckListBox, ClickRunsForAClickedLineAndForKeyboardMoves)
{
    TCheckListBox list(nullptr);
    for (const char* name : {"a", "b", "c"})
        list.Add(name);
    list.resize(129, 265);
    list.show();
    QSignalSpy clicks(&list, &TCheckListBox::Click);
    const QRect second = list.visualItemRect(list.item(1));
    QTest::mouseClick(list.viewport(), Qt::LeftButton, {}, second.center());
    EXPECT_EQ(clicks.count(), 1);
    EXPECT_EQ(list.ItemIndex(), 1);
    EXPECT_TRUE(list.Selected(1));
    QTest::keyClick(&list, Qt::Key_Down);
    EXPECT_EQ(clicks.count(), 2);
    EXPECT_EQ(list.ItemIndex(), 2);
    QTest::keyClick(&list, Qt::Key_Down); // already on the last line
    EXPECT_EQ(clicks.count(), 2);
}

} // namespace
