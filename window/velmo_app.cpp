#include "velmo_app.h"

#include <QApplication>

#include "resources.h"
#include "velmo_dlg.h"

CVelmoApp::CVelmoApp(int& argc, char** argv) : app_(std::make_unique<QApplication>(argc, argv)) {
    // No application name is set: Qt takes the program file's name ("velmo"),
    // which the dialog uses as the caption of the conversion's failure.
    QApplication::setWindowIcon(velmo::programIcon());
}

CVelmoApp::~CVelmoApp() = default;

bool CVelmoApp::InitInstance() {
    CVelmoDlg dialog;
    dialog.initDialog();
    // A failed start-up has already run the close handler: nothing to show.
    if (!dialog.isClosed()) dialog.exec();
    return false;
}
