// The layout of TForm1: every control at its designed place (pixels at 96
// DPI, scaled for the screen), with its object name, caption and items.
#include "app/Unit1.h"

#include <QAction>
#include <QCheckBox>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>

#include <algorithm>

namespace {

const char* const k_program_name = "Zumo変換";
const char* const k_list_hint = "ファイルの選択";

template <typename W> W* named(W* widget, const char* name)
{
    widget->setObjectName(QString::fromLatin1(name));
    return widget;
}

QFont window_font(int pixel_size)
{
    // The designed face first; on systems without it IPA P Gothic, which
    // was drawn to its metrics, so the designed widths hold for every
    // caption; then the CJK faces that carry the same glyphs but give kana
    // and full-width brackets a full em.
    QFont font;
    font.setFamilies({QStringLiteral("ＭＳ Ｐゴシック"), QStringLiteral("MS PGothic"),
                      QStringLiteral("IPAPGothic"), QStringLiteral("Noto Sans CJK JP"),
                      QStringLiteral("VL PGothic")});
    font.setPixelSize(pixel_size);
    return font;
}

} // namespace

void TForm1::build_layout()
{
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QString::fromUtf8(k_program_name) + QChar(0x3000) + QStringLiteral("0.6"));
    m_scale = (logicalDpiY() > 0 ? logicalDpiY() : 96) / 96.0;
    setFont(window_font(Scaled(12)));
    setWindowFlag(Qt::WindowMaximizeButtonHint, true);
    setWindowFlag(Qt::WindowMinimizeButtonHint, true);
    FolderDlg1 = named(new TFolderDlg(this), "FolderDlg1");
    FolderDlg2 = named(new TFolderDlg(this), "FolderDlg2");
    FolderDlg3 = named(new TFolderDlg(this), "FolderDlg3");

    build_menu();
    auto* client = new QWidget(this);
    client->setFixedSize(Scaled(434), Scaled(394));
    setCentralWidget(client);
    PageControl1 = named(new QTabWidget(client), "PageControl1");
    place(PageControl1, 8, 8, 417, 377);
    build_file_tab();
    build_listing_tab();
    build_rename_tab();
    build_settings_tab();
    PageControl1->setCurrentIndex(0);
    fit_captions();

    // A single fixed border: the client keeps its designed size, and the
    // window cannot be made smaller than it. The maximum stays open:
    // window managers take a window whose minimum and maximum sizes agree
    // for one that cannot be maximised and drop its maximise button.
    // resizeEvent puts a window that was dragged larger back instead.
    layout()->setSizeConstraint(QLayout::SetMinimumSize);
    layout()->activate(); // the size holds before the first showing, too
    resize(minimumSize());
    move(232, 192);
}

int TForm1::Scaled(int px) const
{
    return qRound(px * m_scale);
}

void TForm1::place(QWidget* widget, int left, int top, int width, int height) const
{
    widget->setGeometry(Scaled(left), Scaled(top), Scaled(width), Scaled(height));
}

// room: the width up to the next control on the row; 0 for no limit.
void TForm1::place_label(QLabel* label, int left, int top, int room) const
{
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    // Captions keep their face's spacing: squeezed letters run together
    // and full-width brackets overlap. The room is kept for the layout
    // checks of the tests.
    if (room > 0)
        label->setProperty("zumoRoom", Scaled(room));
    label->adjustSize();
    // The designed rows leave 16 pixels for a 12-pixel caption; the
    // stand-in faces add a little leading below the descenders.
    label->resize(label->width(), std::min(label->height(), Scaled(16)));
    label->move(Scaled(left), Scaled(top));
}

namespace {

// Widens a check box or radio group to its captions where the row leaves
// room: the designed widths allow for a smaller box and gap than Qt's
// styles draw. The control does not move and never reaches a neighbour or
// leaves its container.
void widen_to_caption(QWidget* widget, int needed)
{
    if (needed <= widget->width())
        return;
    QRect wanted = widget->geometry();
    wanted.setWidth(needed);
    QWidget* parent = widget->parentWidget();
    if (!parent->rect().contains(wanted))
        return;
    for (QObject* child : parent->children()) {
        auto* other = qobject_cast<QWidget*>(child);
        if (other != nullptr && other != widget && !other->isWindow() &&
            other->geometry().intersects(wanted))
            return;
    }
    widget->setGeometry(wanted);
}

} // namespace

void TForm1::fit_captions()
{
    for (TRadioGroup* group : findChildren<TRadioGroup*>()) {
        group->ArrangeButtons();
        widen_to_caption(group, group->CaptionWidth());
    }
    for (QCheckBox* box : findChildren<QCheckBox*>())
        widen_to_caption(box, box->sizeHint().width());
}

void TForm1::place_updown(TUpDown* updown, int left, int top, int edit_width, int height,
                          int arrows_width) const
{
    // The buddy edit and its arrows are one widget here, spanning both.
    place(updown, left, top, edit_width + arrows_width, height);
    updown->setFont(window_font(Scaled(15)));
}

// ---- layout ---------------------------------------------------------------

void TForm1::build_menu()
{
    Open1 = named(menuBar()->addMenu(QStringLiteral("ファイル変換(&F)")), "Open1");
    Open2 = named(Open1->addAction(QStringLiteral("開く(&O)")), "Open2");
    GIF1 = named(Open1->addAction(QStringLiteral("開く（GIF)(&G)")), "GIF1");
    Exit1 = named(Open1->addAction(QStringLiteral("終了(&X)")), "Exit1");
    N1 = named(menuBar()->addMenu(QStringLiteral("ファイルリネーム")), "N1");
    Open3 = named(N1->addAction(QStringLiteral("開く")), "Open3");
    Undo1 = named(N1->addAction(QStringLiteral("元に戻す")), "Undo1");
}

void TForm1::build_file_tab()
{
    TabSheet1 = named(new QWidget, "TabSheet1");
    PageControl1->addTab(TabSheet1, QStringLiteral("ファイル変換"));
    QWidget* tab = TabSheet1;

    Button3 = named(new QPushButton(QStringLiteral("ファイル入力"), tab), "Button3");
    place(Button3, 8, 8, 75, 25);
    BitBtn3 = named(new QPushButton(QStringLiteral("GIF変換入力"), tab), "BitBtn3");
    place(BitBtn3, 88, 8, 75, 25);
    CheckBox1 = named(new QCheckBox(QStringLiteral("出力先"), tab), "CheckBox1");
    place(CheckBox1, 16, 40, 57, 17);
    Button1 = named(new QPushButton(QStringLiteral("参照"), tab), "Button1");
    place(Button1, 80, 38, 41, 25);
    CheckBox6 = named(new QCheckBox(QStringLiteral("出力ホルダ"), tab), "CheckBox6");
    place(CheckBox6, 144, 40, 81, 17);
    Edit7 = named(new QLineEdit(QStringLiteral("resize"), tab), "Edit7");
    place(Edit7, 232, 40, 65, 20);
    Edit1 = named(new QLineEdit(tab), "Edit1");
    place(Edit1, 8, 72, 377, 20);

    GroupBox3 = named(new QGroupBox(QStringLiteral("画像変換とリサイズ"), tab), "GroupBox3");
    place(GroupBox3, 8, 104, 393, 241);
    RadioGroup1 = named(new TRadioGroup(QStringLiteral("相互変換"),
                                        {QStringLiteral("→BMP"), QStringLiteral("→PNG"),
                                         QStringLiteral("→GIF"), QStringLiteral("→JPG")},
                                        1, GroupBox3),
                        "RadioGroup1");
    place(RadioGroup1, 16, 16, 89, 113);
    RadioGroup1->setItemIndex(0);
    CheckBox7 = named(new QCheckBox(QStringLiteral("リサイズする"), GroupBox3), "CheckBox7");
    place(CheckBox7, 128, 16, 97, 17);
    RadioGroup5 = named(new TRadioGroup(QStringLiteral("指定リサイズ"),
                                        {QStringLiteral("1600×1200"), QStringLiteral("1280×960"),
                                         QStringLiteral("640×480"), QStringLiteral("320×240"),
                                         QStringLiteral("160×120"), QStringLiteral("120×90"),
                                         QStringLiteral("任意のサイズ")},
                                        1, GroupBox3),
                        "RadioGroup5");
    place(RadioGroup5, 120, 40, 121, 185);
    RadioGroup5->setItemIndex(1);
    RadioGroup2 = named(
        new TRadioGroup(QStringLiteral("GIF変換"),
                        {QStringLiteral("→JPG"), QStringLiteral("→BMP"), QStringLiteral("→PNG")}, 1,
                        GroupBox3),
        "RadioGroup2");
    place(RadioGroup2, 16, 136, 89, 89);
    RadioGroup2->setItemIndex(1);
    RadioGroup6 =
        named(new TRadioGroup(QStringLiteral("リサイズの内容"),
                              {QStringLiteral("縦幅比で変換"), QStringLiteral("横幅比で変換")}, 1,
                              GroupBox3),
              "RadioGroup6");
    place(RadioGroup6, 256, 48, 121, 81);
    RadioGroup6->setItemIndex(0);

    GroupBox1 = named(new QGroupBox(QStringLiteral("任意のリサイズ"), GroupBox3), "GroupBox1");
    place(GroupBox1, 256, 144, 121, 81);
    UpDown3 = named(new TUpDown(zumo::k_updown3_range, GroupBox1), "UpDown3");
    Edit4 = named(UpDown3->Buddy(), "Edit4");
    place_updown(UpDown3, 16, 26, 57, 23, 15);
    UpDown3->setPosition(100);
    Label3 = named(new QLabel(QStringLiteral("縦幅比(ピクセル）"), GroupBox1), "Label3");
    place_label(Label3, 16, 56, 121 - 16 - 4);
}

void TForm1::build_listing_tab()
{
    TabSheet2 = named(new QWidget, "TabSheet2");
    PageControl1->addTab(TabSheet2, QStringLiteral("画像参照変換"));
    QWidget* tab = TabSheet2;

    Label11 = named(new QLabel(QStringLiteral("bmp　png　jpg　gif　変換"), tab), "Label11");
    place_label(Label11, 16, 8, 172 - 16);
    Button5 = named(new QPushButton(QStringLiteral("変換実行"), tab), "Button5");
    place(Button5, 16, 24, 65, 25);
    Button6 = named(new QPushButton(QStringLiteral("参照"), tab), "Button6");
    place(Button6, 86, 24, 51, 25);
    // Half an em further right than designed: in the faces at hand the left
    // caption reaches 166 and the two would run together.
    Label12 = named(new QLabel(QStringLiteral("ｇｉｆ→bmp、png、jpg　　"), tab), "Label12");
    place_label(Label12, 172, 8, 409 - 172);
    Button8 = named(new QPushButton(QStringLiteral("変換実行"), tab), "Button8");
    place(Button8, 160, 24, 65, 25);
    Button7 = named(new QPushButton(QStringLiteral("参照"), tab), "Button7");
    place(Button7, 238, 24, 51, 25);
    Label8 = named(new QLabel(QStringLiteral("ファイル数"), tab), "Label8");
    place_label(Label8, 32, 56);
    CheckListBox1 = named(new TCheckListBox(tab), "CheckListBox1");
    place(CheckListBox1, 8, 80, 129, 265);
    CheckListBox1->setToolTip(QString::fromUtf8(k_list_hint));
    Label9 = named(new QLabel(QStringLiteral("画像変換とリサイズはファイル変換ＴＡＢを参照"), tab),
                   "Label9");
    place_label(Label9, 152, 112, 409 - 152);
    CheckBox5 = named(new QCheckBox(QStringLiteral("画像の表示"), tab), "CheckBox5");
    place(CheckBox5, 160, 136, 97, 17);

    // The panel's bevel is a plain space: only its caption shows where no
    // picture covers it.
    Panel1 = named(new QFrame(tab), "Panel1");
    Panel1->setFrameShape(QFrame::NoFrame);
    place(Panel1, 152, 160, 242, 182);
    auto* caption = named(new QLabel(QStringLiteral("画像"), Panel1), "Panel1Caption");
    caption->setAlignment(Qt::AlignCenter);
    caption->setGeometry(Panel1->rect());
    Image1 = named(new TImage(Panel1), "Image1");
    Image1->setGeometry(1, 1, Panel1->width() - 2, Panel1->height() - 2);
}

void TForm1::build_rename_tab()
{
    TabSheet4 = named(new QWidget, "TabSheet4");
    PageControl1->addTab(TabSheet4, QStringLiteral("ファイルリネーム"));
    QWidget* tab = TabSheet4;

    Button4 = named(new QPushButton(QStringLiteral("ファイルを開く"), tab), "Button4");
    place(Button4, 16, 8, 81, 25);
    CheckBox8 = named(new QCheckBox(QStringLiteral("出力先"), tab), "CheckBox8");
    place(CheckBox8, 104, 16, 57, 17);
    Button12 = named(new QPushButton(QStringLiteral("参照"), tab), "Button12");
    place(Button12, 168, 10, 57, 25);
    CheckBox2 = named(new QCheckBox(QStringLiteral("renameフォルダ内"), tab), "CheckBox2");
    place(CheckBox2, 240, 16, 121, 17);
    Edit8 = named(new QLineEdit(tab), "Edit8");
    Edit8->setReadOnly(true);
    place(Edit8, 8, 40, 369, 20);

    GroupBox4 = named(new QGroupBox(QStringLiteral("ファイルのリネーム"), tab), "GroupBox4");
    place(GroupBox4, 8, 72, 185, 273);
    RadioGroup3 = named(
        new TRadioGroup(QStringLiteral("変更の内容"),
                        {QStringLiteral("先頭文字列"), QStringLiteral("拡張子（物理変更なし）"),
                         QStringLiteral("先頭文字列＋拡張子")},
                        1, GroupBox4),
        "RadioGroup3");
    place(RadioGroup3, 16, 24, 153, 89);
    RadioGroup3->setItemIndex(0);
    CheckBox4 =
        named(new QCheckBox(QStringLiteral("ファイルの上書きをする"), GroupBox4), "CheckBox4");
    place(CheckBox4, 16, 120, 145, 17);
    Label4 = named(new QLabel(QStringLiteral("先頭文字"), GroupBox4), "Label4");
    place_label(Label4, 16, 149, 72 - 16);
    Edit5 = named(new QLineEdit(QStringLiteral("new"), GroupBox4), "Edit5");
    place(Edit5, 72, 144, 89, 20);
    Label5 = named(new QLabel(QStringLiteral("拡張子"), GroupBox4), "Label5");
    place_label(Label5, 20, 171, 72 - 20);
    Edit6 = named(new QLineEdit(GroupBox4), "Edit6");
    place(Edit6, 72, 168, 89, 20);
    RadioGroup4 = named(
        new TRadioGroup(QStringLiteral("リネームオプション"),
                        {QStringLiteral("コピーとリネーム"), QStringLiteral("移動とリネーム")}, 1,
                        GroupBox4),
        "RadioGroup4");
    place(RadioGroup4, 16, 200, 153, 65);
    RadioGroup4->setItemIndex(0);

    GroupBox2 = named(new QGroupBox(QStringLiteral("フォルダ参照でリネーム"), tab), "GroupBox2");
    place(GroupBox2, 208, 72, 185, 273);
    Button9 = named(new QPushButton(QStringLiteral("実行"), GroupBox2), "Button9");
    place(Button9, 22, 24, 59, 25);
    Button10 = named(new QPushButton(QStringLiteral("参照"), GroupBox2), "Button10");
    place(Button10, 86, 24, 67, 25);
    Label7 = named(new QLabel(QStringLiteral("ファイル数"), GroupBox2), "Label7");
    place_label(Label7, 20, 53);
    CheckListBox2 = named(new TCheckListBox(GroupBox2), "CheckListBox2");
    place(CheckListBox2, 16, 72, 153, 185);
    CheckListBox2->setToolTip(QString::fromUtf8(k_list_hint));
}

void TForm1::build_settings_tab()
{
    TabSheet3 = named(new QWidget, "TabSheet3");
    PageControl1->addTab(TabSheet3, QStringLiteral("詳細設定"));
    QWidget* tab = TabSheet3;

    // Two pixels left of the designed 16: the caption is 81 pixels wide in
    // IPA P Gothic and the number field starts at 96.
    Label2 = named(new QLabel(QStringLiteral("JPG圧縮率（%）"), tab), "Label2");
    place_label(Label2, 14, 32, 96 - 14);
    UpDown1 = named(new TUpDown(zumo::k_updown1_range, tab), "UpDown1");
    Edit2 = named(UpDown1->Buddy(), "Edit2");
    place_updown(UpDown1, 96, 24, 49, 23, 15);
    UpDown1->setPosition(92);

    GroupBox5 = named(new QGroupBox(QStringLiteral("画像の回転"), tab), "GroupBox5");
    place(GroupBox5, 16, 56, 185, 281);
    RadioGroup7 = named(new TRadioGroup(QStringLiteral("回転角度"),
                                        {QStringLiteral("９０度"), QStringLiteral("１８０度"),
                                         QStringLiteral("２７０度"), QStringLiteral("０　度")},
                                        2, GroupBox5),
                        "RadioGroup7");
    place(RadioGroup7, 16, 24, 153, 81);
    CheckBox3 = named(new QCheckBox(QStringLiteral("任意回転にする"), GroupBox5), "CheckBox3");
    place(CheckBox3, 40, 128, 105, 17);
    Label1 = named(new QLabel(QStringLiteral("任意回転"), GroupBox5), "Label1");
    place_label(Label1, 25, 156, 80 - 25);
    UpDown2 = named(new TUpDown(zumo::k_updown2_range, GroupBox5), "UpDown2");
    Edit3 = named(UpDown2->Buddy(), "Edit3");
    place_updown(UpDown2, 80, 152, 49, 23, 15);
    UpDown2->setPosition(0);
    Label10 = named(new QLabel(QStringLiteral("度"), GroupBox5), "Label10");
    place_label(Label10, 152, 160);
    Label6 = named(new QLabel(QStringLiteral("背景色"), GroupBox5), "Label6");
    place_label(Label6, 16, 192);
    ColorGrid1 = named(new TColorGrid(GroupBox5), "ColorGrid1");
    place(ColorGrid1, 8, 208, 168, 48);
    // The photo options: the orientation under the turns it comes before,
    // the metadata above the output options on the right.
    CheckBox9 =
        named(new QCheckBox(QStringLiteral("EXIFの向きに合わせる"), GroupBox5), "CheckBox9");
    place(CheckBox9, 16, 260, 161, 17);
    CheckBox9->setChecked(true);
    CheckBox10 = named(new QCheckBox(QStringLiteral("メタデータを残す"), tab), "CheckBox10");
    place(CheckBox10, 224, 14, 153, 17);
    CheckBox10->setChecked(true);
    // Above the JPEG quality, where the tab has a free row.
    CheckBox11 = named(new QCheckBox(QStringLiteral("すべてのCPUコアを使う"), tab), "CheckBox11");
    place(CheckBox11, 16, 4, 185, 17);
    CheckBox11->setChecked(true);

    RadioGroup8 = named(new TRadioGroup(QStringLiteral("インターレースPNG or GIF"),
                                        {QStringLiteral("インターレースなし"),
                                         QStringLiteral("インターレースあり")},
                                        1, tab),
                        "RadioGroup8");
    place(RadioGroup8, 224, 40, 153, 81);
    // "&" is Qt's access-key marker; the caption shows a literal ampersand.
    RadioGroup10 = named(new TRadioGroup(QStringLiteral("Drag && Drop　変換"),
                                         {QStringLiteral("JPG PNG　BMPの変換"),
                                          QStringLiteral("GIFの変換"), QStringLiteral("リネーム")},
                                         1, tab),
                         "RadioGroup10");
    place(RadioGroup10, 224, 136, 153, 113);
    RadioGroup10->setItemIndex(0);
    RadioGroup9 = named(new TRadioGroup(QStringLiteral("処理終了メッセージ"),
                                        {QStringLiteral("BEEP"), QStringLiteral("なし")}, 1, tab),
                        "RadioGroup9");
    place(RadioGroup9, 224, 264, 153, 73);
    RadioGroup9->setItemIndex(1);
}

void TForm1::connect_handlers()
{
    // The mirror fields start at what the designed items give, before the
    // handlers are attached, so the first change is the first Click.
    RadioGroup7->setItemIndex(3);
    RadioGroup8->setItemIndex(0);

    connect(Open2, &QAction::triggered, this, &TForm1::Button3Click);
    connect(GIF1, &QAction::triggered, this, &TForm1::BitBtn3Click);
    connect(Exit1, &QAction::triggered, this, &TForm1::Exit1Click);
    connect(Open3, &QAction::triggered, this, &TForm1::Button4Click);
    connect(Undo1, &QAction::triggered, this, &TForm1::Undo1Click);

    connect(Button3, &QPushButton::clicked, this, &TForm1::Button3Click);
    connect(BitBtn3, &QPushButton::clicked, this, &TForm1::BitBtn3Click);
    connect(CheckBox1, &QCheckBox::toggled, this, &TForm1::CheckBox1Click);
    connect(Button1, &QPushButton::clicked, this, &TForm1::Button1Click);

    connect(Button5, &QPushButton::clicked, this, &TForm1::Button5Click);
    connect(Button6, &QPushButton::clicked, this, &TForm1::Button6Click);
    connect(Button8, &QPushButton::clicked, this, &TForm1::Button8Click);
    connect(Button7, &QPushButton::clicked, this, &TForm1::Button7Click);
    connect(CheckListBox1, &TCheckListBox::Click, this, &TForm1::CheckListBox1Click);

    connect(Button4, &QPushButton::clicked, this, &TForm1::Button4Click);
    connect(CheckBox8, &QCheckBox::toggled, this, &TForm1::CheckBox8Click);
    connect(Button12, &QPushButton::clicked, this, &TForm1::Button12Click);
    connect(CheckBox2, &QCheckBox::toggled, this, &TForm1::CheckBox2Click);
    connect(Button9, &QPushButton::clicked, this, &TForm1::Button9Click);
    connect(Button10, &QPushButton::clicked, this, &TForm1::Button10Click);
    connect(CheckListBox2, &TCheckListBox::Click, this, &TForm1::CheckListBox1Click);

    connect(RadioGroup7, &TRadioGroup::Click, this, &TForm1::RadioGroup7Click);
    connect(RadioGroup8, &TRadioGroup::Click, this, &TForm1::RadioGroup8Click);
}
