#include "app/controls.h"

#include "shell/local_names.h"

#include <QButtonGroup>
#include <QEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QLocale>
#include <QMouseEvent>
#include <QPainter>
#include <QRadioButton>

#include <algorithm>

namespace {

// Where a line or an edit keeps the bytes of its name.
constexpr int k_bytes_role = Qt::UserRole + 1;
const char* const k_bytes_property = "zumoBytes";

} // namespace

// ---- single-line edits ----------------------------------------------------

namespace zumo {

bool CutInsertedLineBreak(QString& text, int& cursor)
{
    const auto is_break = [](QChar c) {
        return c == QLatin1Char('\n') || c == QLatin1Char('\r') || c == QChar::LineSeparator ||
               c == QChar::ParagraphSeparator;
    };
    const auto first = std::find_if(text.cbegin(), text.cend(), is_break);
    if (first == text.cend())
        return false;
    const int at = static_cast<int>(first - text.cbegin());
    // The inserted text ends at the cursor; what follows it was there before.
    const int tail = std::clamp(cursor, at, static_cast<int>(text.size()));
    text = text.left(at) + text.mid(tail);
    cursor = at;
    return true;
}

QValidator::State SingleLineValidator::validate(QString& input, int& pos) const
{
    CutInsertedLineBreak(input, pos);
    return Acceptable;
}

namespace {

// A name on one line: a control character (a folder's name may hold a line
// break) shows as its visible symbol (U+2400 + code, U+2421 for DEL).
// Handed to the edit as it is, a line break would be cut by the
// single-line rule and the edit would name another folder.
QString shown_on_one_line(const std::string& bytes)
{
    QString text = ShownName(bytes);
    for (QChar& c : text) {
        if (c.unicode() < 0x20)
            c = QChar(static_cast<char16_t>(0x2400 + c.unicode()));
        else if (c.unicode() == 0x7F)
            c = QChar(static_cast<char16_t>(0x2421));
    }
    return text;
}

} // namespace

void SetEditBytes(QLineEdit* edit, const std::string& bytes)
{
    edit->setText(shown_on_one_line(bytes));
    edit->setProperty(k_bytes_property, QByteArray::fromStdString(bytes));
}

std::string EditBytes(const QLineEdit* edit)
{
    const QVariant kept = edit->property(k_bytes_property);
    if (kept.isValid()) {
        const std::string bytes = kept.toByteArray().toStdString();
        if (edit->text() == shown_on_one_line(bytes))
            return bytes;
    }
    return edit->text().toStdString();
}

void MakeEditsSingleLine(QWidget* widget)
{
    for (QLineEdit* edit : widget->findChildren<QLineEdit*>()) {
        // A spin box validates its own edit (TUpDown::validate).
        if (edit->validator() == nullptr && !qobject_cast<QAbstractSpinBox*>(edit->parent()))
            edit->setValidator(new SingleLineValidator(edit));
    }
}

} // namespace zumo

// ---- TRadioGroup ----------------------------------------------------------

TRadioGroup::TRadioGroup(const QString& caption, const QStringList& items, int columns,
                         QWidget* parent)
    : QGroupBox(caption, parent), m_group(new QButtonGroup(this)), m_columns(std::max(columns, 1))
{
    for (int i = 0; i < items.size(); ++i) {
        auto* button = new QRadioButton(items[i], this);
        m_group->addButton(button, i);
        m_buttons.push_back(button);
    }
    connect(m_group, &QButtonGroup::idToggled, this, &TRadioGroup::button_toggled);
    ArrangeButtons();
}

void TRadioGroup::setItemIndex(int index)
{
    if (index < 0)
        index = -1;
    else if (index >= Count())
        index = Count() - 1;
    if (index == m_index)
        return;
    m_index = index;
    if (index < 0) {
        // An exclusive group refuses to uncheck its checked button.
        m_group->setExclusive(false);
        for (auto* button : m_buttons)
            button->setChecked(false);
        m_group->setExclusive(true);
        return;
    }
    m_buttons[static_cast<std::size_t>(index)]->setChecked(true);
    emit Click();
}

void TRadioGroup::button_toggled(int id, bool checked)
{
    // setItemIndex sets m_index before it checks a button, so only a change
    // made by the user arrives here as a new index.
    if (!checked || id == m_index)
        return;
    m_index = id;
    emit Click();
}

void TRadioGroup::resizeEvent(QResizeEvent* event)
{
    QGroupBox::resizeEvent(event);
    ArrangeButtons();
}

void TRadioGroup::changeEvent(QEvent* event)
{
    QGroupBox::changeEvent(event);
    if (event->type() == QEvent::FontChange)
        ArrangeButtons();
}

namespace {

// The classic inset of the items: 8 pixels at the left, 2 at the right.
int left_inset(const QWidget* group)
{
    return qRound(8 * group->logicalDpiX() / 96.0);
}
constexpr int k_right_inset = 2;

} // namespace

int TRadioGroup::CaptionWidth() const
{
    int widest = 0;
    for (const QRadioButton* button : m_buttons)
        widest = std::max(widest, button->sizeHint().width());
    return left_inset(this) + k_right_inset + m_columns * widest + (m_columns - 1) * 2;
}

void TRadioGroup::ArrangeButtons()
{
    if (m_buttons.empty())
        return;
    // The classic arrangement: the height below the caption is shared
    // evenly by the rows, the width (less the frame) by the columns.
    const int count = Count();
    const int per_column = (count + m_columns - 1) / m_columns;
    const int text_height = fontMetrics().height();
    const int margin = left_inset(this);
    const int button_width = std::max((width() - margin - k_right_inset) / m_columns, 1);
    const int free_height = std::max(height() - text_height - 5, per_column);
    const int button_height = free_height / per_column;
    const int top = text_height + 1 + (free_height % per_column) / 2;
    for (int i = 0; i < count; ++i) {
        const int column = i / per_column;
        const int row = i % per_column;
        m_buttons[static_cast<std::size_t>(i)]->setGeometry(
            margin + column * button_width, top + row * button_height,
            button_width - (column + 1 == m_columns ? 0 : 2), button_height);
    }
}

// ---- TCheckListBox --------------------------------------------------------

TCheckListBox::TCheckListBox(QWidget* parent) : QListWidget(parent)
{
    setSelectionMode(QAbstractItemView::SingleSelection);
    setUniformItemSizes(true);
    connect(this, &QListWidget::itemClicked, this, [this] { emit Click(); });
}

void TCheckListBox::Add(const std::string& bytes)
{
    auto* line = new QListWidgetItem(zumo::ShownName(bytes), this);
    line->setData(k_bytes_role, QByteArray::fromStdString(bytes));
    line->setFlags(line->flags() | Qt::ItemIsUserCheckable);
    line->setCheckState(Qt::Unchecked);
}

void TCheckListBox::setChecked(int index, bool checked)
{
    if (auto* line = item(index))
        line->setCheckState(checked ? Qt::Checked : Qt::Unchecked);
}

int TCheckListBox::ItemIndex() const
{
    const auto selected = selectedItems();
    return selected.isEmpty() ? -1 : row(selected.first());
}

bool TCheckListBox::Selected(int index) const
{
    const auto* line = item(index);
    return line != nullptr && line->isSelected();
}

bool TCheckListBox::Checked(int index) const
{
    const auto* line = item(index);
    return line != nullptr && line->checkState() == Qt::Checked;
}

std::string TCheckListBox::Text(int index) const
{
    const auto* line = item(index);
    return line ? line->data(k_bytes_role).toByteArray().toStdString() : std::string();
}

void TCheckListBox::keyPressEvent(QKeyEvent* event)
{
    const int before = currentRow();
    QListWidget::keyPressEvent(event);
    if (currentRow() != before)
        emit Click();
}

// ---- TUpDown --------------------------------------------------------------

TUpDown::TUpDown(zumo::UpDownRange range, QWidget* parent) : QSpinBox(parent)
{
    // Thousands separators in the classic style (1,500) whatever the locale.
    setLocale(QLocale(QLocale::English, QLocale::UnitedStates));
    setRange(range.min, range.max);
    setSingleStep(1);
    setWrapping(false);
    setGroupSeparatorShown(true);
    setKeyboardTracking(true);
    setAccelerated(false);
    // Text that is not a valid number in range never becomes the value: the
    // last valid position stays and comes back when the edit loses focus.
    setCorrectionMode(QAbstractSpinBox::CorrectToPreviousValue);
    setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
}

QValidator::State TUpDown::validate(QString& input, int& pos) const
{
    zumo::CutInsertedLineBreak(input, pos);
    return QSpinBox::validate(input, pos);
}

// ---- TColorGrid -----------------------------------------------------------

TColorGrid::TColorGrid(QWidget* parent) : QWidget(parent)
{
    setFocusPolicy(Qt::StrongFocus);
}

zumo::COLORREF TColorGrid::ForegroundColor() const
{
    return zumo::k_color_grid[static_cast<std::size_t>(m_foreground)];
}

void TColorGrid::setForegroundIndex(int index)
{
    index = std::clamp(index, 0, k_columns * k_rows - 1);
    if (index == m_foreground)
        return;
    m_foreground = index;
    update();
    emit Change();
}

void TColorGrid::setBackgroundIndex(int index)
{
    index = std::clamp(index, 0, k_columns * k_rows - 1);
    if (index == m_background)
        return;
    m_background = index;
    update();
    emit Change();
}

QSize TColorGrid::sizeHint() const
{
    return {168, 48};
}

QRect TColorGrid::cell_rect(int index) const
{
    // Cells share the width and height; the last column and row take the
    // rounding remainder so the grid fills the control exactly.
    const int column = index % k_columns;
    const int row = index / k_columns;
    const int left = column * width() / k_columns;
    const int right = (column + 1) * width() / k_columns;
    const int top = row * height() / k_rows;
    const int bottom = (row + 1) * height() / k_rows;
    return {left, top, right - left, bottom - top};
}

int TColorGrid::cell_at(QPoint pos) const
{
    if (!rect().contains(pos))
        return -1;
    const int column = std::min(pos.x() * k_columns / std::max(width(), 1), k_columns - 1);
    const int row = std::min(pos.y() * k_rows / std::max(height(), 1), k_rows - 1);
    return row * k_columns + column;
}

void TColorGrid::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    QFont marker_font = font();
    marker_font.setPixelSize(std::max(cell_rect(0).height() / 3, 6));
    painter.setFont(marker_font);
    for (int i = 0; i < k_columns * k_rows; ++i) {
        const QRect cell = cell_rect(i);
        const zumo::COLORREF c = zumo::k_color_grid[static_cast<std::size_t>(i)];
        const QColor color(c & 0xFF, (c >> 8) & 0xFF, (c >> 16) & 0xFF);
        painter.fillRect(cell, color);
        painter.setPen(palette().color(QPalette::Mid));
        painter.drawRect(cell.adjusted(0, 0, -1, -1));
        QString marker;
        if (i == m_foreground)
            marker += QStringLiteral("FG");
        if (i == m_background)
            marker = marker.isEmpty() ? QStringLiteral("BG") : QStringLiteral("FB");
        if (!marker.isEmpty()) {
            painter.setPen(color.lightness() < 128 ? Qt::white : Qt::black);
            painter.drawText(cell, Qt::AlignCenter, marker);
        }
    }
    if (hasFocus()) {
        QPen pen(palette().color(QPalette::Highlight), 2, Qt::DotLine);
        painter.setPen(pen);
        painter.drawRect(cell_rect(m_focus).adjusted(1, 1, -2, -2));
    }
}

void TColorGrid::mousePressEvent(QMouseEvent* event)
{
    const int cell = cell_at(event->position().toPoint());
    if (cell < 0)
        return;
    setFocus(Qt::MouseFocusReason);
    if (event->button() == Qt::LeftButton) {
        m_focus = cell;
        setForegroundIndex(cell);
        update();
    } else if (event->button() == Qt::RightButton) {
        m_focus = cell;
        setBackgroundIndex(cell);
        update();
    }
}

void TColorGrid::keyPressEvent(QKeyEvent* event)
{
    int column = m_focus % k_columns;
    int row = m_focus / k_columns;
    switch (event->key()) {
    case Qt::Key_Left:
        column = std::max(column - 1, 0);
        break;
    case Qt::Key_Right:
        column = std::min(column + 1, k_columns - 1);
        break;
    case Qt::Key_Up:
        row = std::max(row - 1, 0);
        break;
    case Qt::Key_Down:
        row = std::min(row + 1, k_rows - 1);
        break;
    case Qt::Key_F:
        setForegroundIndex(m_focus);
        return;
    case Qt::Key_B:
        setBackgroundIndex(m_focus);
        return;
    default:
        QWidget::keyPressEvent(event);
        return;
    }
    m_focus = row * k_columns + column;
    update();
}

// ---- TImage ---------------------------------------------------------------

TImage::TImage(QWidget* parent) : QWidget(parent)
{
    setAttribute(Qt::WA_TranslucentBackground);
}

void TImage::setPicture(const QImage& picture)
{
    m_picture = picture;
    update();
}

void TImage::setStretch(bool stretch)
{
    m_stretch = stretch;
    update();
}

void TImage::paintEvent(QPaintEvent*)
{
    if (m_picture.isNull())
        return;
    QPainter painter(this);
    if (m_stretch)
        painter.drawImage(rect(), m_picture);
    else
        painter.drawImage(QPoint(0, 0), m_picture);
}
