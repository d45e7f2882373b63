// zumo: creates the main window, shows it and runs the message loop.
// Creating the window runs FormCreate, the first showing FormShow, and
// destroying it at the end FormDestroy.
#include "app/Unit1.h"
#include "platform/beep.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    platform::set_beep_handler(&QApplication::beep);
    int status = 0;
    {
        TForm1 form;
        form.show();
        status = QApplication::exec();
    }
    platform::set_beep_handler({});
    return status;
}
