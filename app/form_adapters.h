// The window seen through the interfaces of the front-end logic: the
// settings file's view of the stored controls and the placement, the
// application control of the command-line run, and the listing's view of
// CheckListBox1, Label8 and FolderDlg2.
#pragma once

#include "app/core/CommandLine.h"
#include "app/core/Listing.h"
#include "app/core/Settings.h"

class TForm1;
class QWidget;
class TCheckListBox;

namespace zumo {

class FormSettingsWindow : public SettingsWindow
{
public:
    explicit FormSettingsWindow(TForm1& form) : m_form(form) {}

    bool Checked(StoredControl check_box) const override;
    void SetChecked(StoredControl check_box, bool checked) override;
    int Position(StoredControl up_down) const override;
    void SetPosition(StoredControl up_down, int position) override;
    int ItemIndex(StoredControl radio_group) const override;
    void SetItemIndex(StoredControl radio_group, int index) override;
    std::string Text(StoredControl edit) const override;
    void SetText(StoredControl edit, const std::string& text) override;
    Placement WindowPlacement() const override;
    void SetWindowPlacement(const Placement& placement) override;

private:
    TForm1& m_form;
};

class FormApplicationControl : public ApplicationControl
{
public:
    explicit FormApplicationControl(TForm1& form) : m_form(form) {}

    void SetTitle(const std::string& title) override;
    void Minimize() override;
    void ApplyEnableRule() override;
    void Terminate(int exit_status) override;

private:
    TForm1& m_form;
};

class FormListingWindow : public ListingWindow
{
public:
    explicit FormListingWindow(TForm1& form) : m_form(form) {}

    void ClearList() override;
    void AddLine(const std::string& bare_name) override;
    void SetCountLabel(const std::string& text) override;
    std::optional<std::string> ChooseFolder() override;

private:
    TForm1& m_form;
};

// The lines of a check list as the preview reads them.
class CheckListPreview : public PreviewList
{
public:
    explicit CheckListPreview(const TCheckListBox& list) : m_list(list) {}

    int Count() const override;
    bool Selected(int index) const override;
    std::string Text(int index) const override;

private:
    const TCheckListBox& m_list;
};

} // namespace zumo
