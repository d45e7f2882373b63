// A second program for the desktop tests: a small window that starts a real
// drag of the files named on its command line (text/uri-list, as a file
// manager offers them) when the mouse is pressed on it, and prints the drop
// action the target answered ("drop result N") before it ends.
#include <QApplication>
#include <QDrag>
#include <QMimeData>
#include <QMouseEvent>
#include <QTimer>
#include <QUrl>
#include <QWidget>

#include <cstdio>

namespace {

class DragSource : public QWidget
{
public:
    explicit DragSource(QList<QUrl> urls) : m_urls(std::move(urls))
    {
        setWindowTitle(QStringLiteral("zumo-drag-source"));
        resize(160, 120);
    }

protected:
    void mousePressEvent(QMouseEvent*) override
    {
        auto* drag = new QDrag(this);
        auto* mime = new QMimeData;
        mime->setUrls(m_urls);
        drag->setMimeData(mime);
        const Qt::DropAction result = drag->exec(Qt::CopyAction);
        std::printf("drop result %d\n", static_cast<int>(result));
        std::fflush(stdout);
        // exec returns as soon as the drop is sent; the target fetches the
        // data afterwards, so the program stays until it has had the time.
        QTimer::singleShot(m_linger_ms, qApp, &QApplication::quit);
    }

private:
    QList<QUrl> m_urls;
    int m_linger_ms = 5000;
};

} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QList<QUrl> urls;
    for (int i = 1; i < argc; ++i)
        urls << QUrl::fromLocalFile(QString::fromLocal8Bit(argv[i]));
    DragSource source(urls);
    source.move(0, 0);
    source.show();
    return QApplication::exec();
}
