// Saves a picture of each tab of the main window and of the progress
// dialog into the folder given as the argument, for looking at the layout
// with the fonts of the machine (run it under a real or virtual display).
#include "app/Unit1.h"
#include "convert/StrPprog.h"

#include <QApplication>
#include <QDir>
#include <QTabWidget>
#include <cstdio>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: window_shots <folder>\n");
        return 2;
    }
    const QDir out(QString::fromLocal8Bit(argv[1]));
    TForm1 form;
    form.show();
    QApplication::processEvents();
    for (int tab = 0; tab < form.PageControl1->count(); ++tab) {
        form.PageControl1->setCurrentIndex(tab);
        QApplication::processEvents();
        form.grab().save(out.filePath(QStringLiteral("tab%1.png").arg(tab + 1)));
    }
    auto* progress = TFormStrProgress::ShowProgress(&form, QStringLiteral("変換中です"));
    progress->setWindowTitle(QStringLiteral("Zumo変換"));
    progress->SetProgress(QStringLiteral("変換中です"), 4, 2);
    QApplication::processEvents();
    progress->grab().save(out.filePath(QStringLiteral("progress.png")));
    progress->SetSmooth(true);
    QApplication::processEvents();
    progress->grab().save(out.filePath(QStringLiteral("progress_smooth.png")));
    std::printf("logical DPI %d, font %s\n", form.logicalDpiY(),
                qPrintable(QFontInfo(form.font()).family()));
    return 0;
}
