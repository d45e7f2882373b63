#include "app/form_adapters.h"

#include "app/Unit1.h"
#include "app/user_hosts.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>

namespace zumo {

namespace {

QCheckBox* check_box(TForm1& f, StoredControl c)
{
    switch (c) {
    case StoredControl::CheckBox1:
        return f.CheckBox1;
    case StoredControl::CheckBox3:
        return f.CheckBox3;
    case StoredControl::CheckBox4:
        return f.CheckBox4;
    case StoredControl::CheckBox5:
        return f.CheckBox5;
    case StoredControl::CheckBox6:
        return f.CheckBox6;
    case StoredControl::CheckBox7:
        return f.CheckBox7;
    case StoredControl::CheckBox9:
        return f.CheckBox9;
    case StoredControl::CheckBox10:
        return f.CheckBox10;
    case StoredControl::CheckBox11:
        return f.CheckBox11;
    default:
        return nullptr;
    }
}

TUpDown* up_down(TForm1& f, StoredControl c)
{
    switch (c) {
    case StoredControl::UpDown1:
        return f.UpDown1;
    case StoredControl::UpDown2:
        return f.UpDown2;
    case StoredControl::UpDown3:
        return f.UpDown3;
    default:
        return nullptr;
    }
}

TRadioGroup* radio_group(TForm1& f, StoredControl c)
{
    switch (c) {
    case StoredControl::RadioGroup1:
        return f.RadioGroup1;
    case StoredControl::RadioGroup2:
        return f.RadioGroup2;
    case StoredControl::RadioGroup3:
        return f.RadioGroup3;
    case StoredControl::RadioGroup4:
        return f.RadioGroup4;
    case StoredControl::RadioGroup5:
        return f.RadioGroup5;
    case StoredControl::RadioGroup6:
        return f.RadioGroup6;
    case StoredControl::RadioGroup7:
        return f.RadioGroup7;
    case StoredControl::RadioGroup8:
        return f.RadioGroup8;
    case StoredControl::RadioGroup9:
        return f.RadioGroup9;
    case StoredControl::RadioGroup10:
        return f.RadioGroup10;
    default:
        return nullptr;
    }
}

QLineEdit* edit(TForm1& f, StoredControl c)
{
    switch (c) {
    case StoredControl::Edit1:
        return f.Edit1;
    case StoredControl::Edit5:
        return f.Edit5;
    case StoredControl::Edit6:
        return f.Edit6;
    case StoredControl::Edit7:
        return f.Edit7;
    default:
        return nullptr;
    }
}

// The settings table names each control with its kind; a mismatch is a
// programming error, answered harmlessly.
template <typename W> W* must(W* widget)
{
    Q_ASSERT(widget != nullptr);
    return widget;
}

} // namespace

// ---- FormSettingsWindow ---------------------------------------------------

bool FormSettingsWindow::Checked(StoredControl c) const
{
    auto* box = must(check_box(m_form, c));
    return box && box->isChecked();
}

void FormSettingsWindow::SetChecked(StoredControl c, bool checked)
{
    // setChecked runs the click handler when the state changes, as a
    // user's click would.
    if (auto* box = must(check_box(m_form, c)))
        box->setChecked(checked);
}

int FormSettingsWindow::Position(StoredControl c) const
{
    auto* updown = must(up_down(m_form, c));
    return updown ? updown->Position() : 0;
}

void FormSettingsWindow::SetPosition(StoredControl c, int position)
{
    if (auto* updown = must(up_down(m_form, c)))
        updown->setPosition(position);
}

int FormSettingsWindow::ItemIndex(StoredControl c) const
{
    auto* group = must(radio_group(m_form, c));
    return group ? group->ItemIndex() : -1;
}

void FormSettingsWindow::SetItemIndex(StoredControl c, int index)
{
    if (auto* group = must(radio_group(m_form, c)))
        group->setItemIndex(index);
}

std::string FormSettingsWindow::Text(StoredControl c) const
{
    auto* line = must(edit(m_form, c));
    return line ? EditBytes(line) : std::string();
}

void FormSettingsWindow::SetText(StoredControl c, const std::string& text)
{
    if (auto* line = must(edit(m_form, c)))
        SetEditBytes(line, text);
}

Placement FormSettingsWindow::WindowPlacement() const
{
    const ::WindowPlacement p = m_form.Placement();
    return {p.Width, p.Height, p.Top, p.Left, p.Maximized};
}

void FormSettingsWindow::SetWindowPlacement(const Placement& placement)
{
    ::WindowPlacement p;
    p.Width = placement.Width;
    p.Height = placement.Height;
    p.Top = placement.Top;
    p.Left = placement.Left;
    p.Maximized = placement.Maximized;
    m_form.SetPlacement(p);
}

// ---- FormApplicationControl -----------------------------------------------

void FormApplicationControl::SetTitle(const std::string& title)
{
    m_form.SetApplicationTitle(QString::fromLocal8Bit(title));
}

void FormApplicationControl::Minimize()
{
    m_form.showMinimized();
}

void FormApplicationControl::ApplyEnableRule()
{
    m_form.ApplyEnableRule();
}

void FormApplicationControl::Terminate(int exit_status)
{
    m_form.Terminate(exit_status);
}

// ---- FormListingWindow ----------------------------------------------------

void FormListingWindow::ClearList()
{
    m_form.CheckListBox1->Clear();
}

void FormListingWindow::AddLine(const std::string& bare_name)
{
    m_form.CheckListBox1->Add(bare_name);
}

void FormListingWindow::SetCountLabel(const std::string& text)
{
    m_form.SetLabelCaption(m_form.Label8, QString::fromLocal8Bit(text));
}

std::optional<std::string> FormListingWindow::ChooseFolder()
{
    if (!m_form.FolderDlg2->Execute())
        return std::nullopt;
    return m_form.FolderDlg2->FolderName;
}

// ---- CheckListPreview -----------------------------------------------------

int CheckListPreview::Count() const
{
    return m_list.Count();
}

bool CheckListPreview::Selected(int index) const
{
    return m_list.Selected(index);
}

std::string CheckListPreview::Text(int index) const
{
    return m_list.Text(index);
}

} // namespace zumo
