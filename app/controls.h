// The option-bearing controls of the main window with the behaviour the
// rest of the program relies on: a radio group with ItemIndex and a click
// that runs only when a different item becomes selected, a list with a
// check box per line, an up-down with its buddy edit, and the 16-colour
// grid of the rotation background.
#pragma once

#include "convert/check_list.h"
#include "convert/options.h"

#include <QGroupBox>
#include <QImage>
#include <QListWidget>
#include <QSpinBox>
#include <QStringList>
#include <QValidator>
#include <QWidget>

#include <vector>

class QButtonGroup;
class QLineEdit;
class QRadioButton;

namespace zumo {

// An edit box holds one line. Text put in with a line break (a paste of
// several lines, a middle-button paste) keeps what came before the first
// break, as a single-line edit of the classic kind does: text is the
// edit's new content, cursor stands after the inserted text, which is the
// only place a break can be, since the edit never holds one. Returns
// whether text was cut.
bool CutInsertedLineBreak(QString& text, int& cursor);

// The validator that keeps an edit box to one line.
class SingleLineValidator : public QValidator
{
public:
    using QValidator::QValidator;
    State validate(QString& input, int& pos) const override;
};

// Gives every line edit among widget's children (spin boxes' included)
// the single-line rule.
void MakeEditsSingleLine(QWidget* widget);

// An edit box that shows a path or name keeps the bytes it was given:
// EditBytes returns them as long as the shown text is unchanged, and the
// typed text (as UTF-8) once the user has changed it. A control character
// of the name (a line break in a folder's name) shows as its visible
// symbol (U+240A for a line feed) and stays in the bytes.
void SetEditBytes(QLineEdit* edit, const std::string& bytes);
std::string EditBytes(const QLineEdit* edit);

} // namespace zumo

// A group box with one radio button per item, arranged in Columns columns
// like the classic radio group: items fill the area below the caption
// evenly, column by column.
class TRadioGroup : public QGroupBox
{
    Q_OBJECT

public:
    TRadioGroup(const QString& caption, const QStringList& items, int columns, QWidget* parent);

    int ItemIndex() const { return m_index; }
    // Selects item index. An index below 0 clears the selection, one at or
    // above the item count selects the last item. Click runs when a
    // different item becomes selected; clearing runs nothing.
    void setItemIndex(int index);
    int Count() const { return static_cast<int>(m_buttons.size()); }
    QRadioButton* Button(int index) const { return m_buttons.at(static_cast<std::size_t>(index)); }
    // Places the items for the current size (also done on every resize).
    void ArrangeButtons();
    // The width at which every item's caption fits in its column.
    int CaptionWidth() const;

signals:
    void Click();

protected:
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void button_toggled(int id, bool checked);

    std::vector<QRadioButton*> m_buttons;
    QButtonGroup* m_group;
    int m_columns;
    int m_index = -1;
};

// Lines of bare file names, each with a check box (unchecked when added),
// at most one line selected.
class TCheckListBox : public QListWidget, public zumo::CheckListSource
{
    Q_OBJECT

public:
    explicit TCheckListBox(QWidget* parent);

    // A line for the file name `bytes`: it shows a readable rendering and
    // keeps the bytes, which Text gives back unchanged.
    void Add(const std::string& bytes);
    void Clear() { clear(); }
    void setChecked(int index, bool checked);
    // -1 when no line is selected.
    int ItemIndex() const;
    bool Selected(int index) const;

    // CheckListSource
    int Count() const override { return count(); }
    bool Checked(int index) const override;
    // The bytes the line was added with.
    std::string Text(int index) const override;

signals:
    // A line was clicked, or the keyboard moved the selection.
    void Click();

protected:
    void keyPressEvent(QKeyEvent* event) override;
};

// An up-down with its buddy edit in one widget: range Min..Max, step 1, no
// wrap, thousands separators. The value is read through Position(): a
// typed number counts once it is valid and within range; anything else
// leaves the last valid position.
class TUpDown : public QSpinBox
{
    Q_OBJECT

public:
    TUpDown(zumo::UpDownRange range, QWidget* parent);

    int Position() const { return value(); }
    void setPosition(int position) { setValue(position); } // clamped into range
    QLineEdit* Buddy() const { return lineEdit(); }

protected:
    // A pasted line break cuts the paste as in any edit box.
    QValidator::State validate(QString& input, int& pos) const override;
};

// 16 colour cells in 8 columns and 2 rows (index row * 8 + column). The
// left button or the key F on the focused cell selects the foreground
// colour, the one that counts; the right button or the key B selects a
// background colour nothing reads. Arrow keys move the focused cell.
class TColorGrid : public QWidget
{
    Q_OBJECT

public:
    static constexpr int k_columns = 8;
    static constexpr int k_rows = 2;

    explicit TColorGrid(QWidget* parent);

    int ForegroundIndex() const { return m_foreground; }
    int BackgroundIndex() const { return m_background; }
    int FocusIndex() const { return m_focus; }
    zumo::COLORREF ForegroundColor() const;
    void setForegroundIndex(int index);
    void setBackgroundIndex(int index);

    QSize sizeHint() const override;

signals:
    void Change();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    QRect cell_rect(int index) const;
    int cell_at(QPoint pos) const;

    int m_foreground = 0;
    int m_background = 0;
    int m_focus = 0;
};

// A picture area: draws its picture at its own size from the top-left
// corner, cut off at the edges, or scaled to the whole area when Stretch
// is on. Without a picture it is transparent.
class TImage : public QWidget
{
    Q_OBJECT

public:
    explicit TImage(QWidget* parent);

    const QImage& Picture() const { return m_picture; }
    void setPicture(const QImage& picture);
    bool Stretch() const { return m_stretch; }
    void setStretch(bool stretch);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QImage m_picture;
    bool m_stretch = false;
};
