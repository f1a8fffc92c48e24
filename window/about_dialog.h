// The About box: caption "Demo", the program's picture, "Zentro Version 1.0"
// and an OK button, laid out in dialog units of its own font.
#pragma once

#include <QDialog>

namespace velmo {

// Object names of the About box's controls, for tests.
constexpr const char* kAboutPictureName = "aboutPicture";
constexpr const char* kAboutTextName = "aboutText";
constexpr int kIdOk = 1;

}  // namespace velmo

class AboutDialog : public QDialog {
    Q_OBJECT

  public:
    explicit AboutDialog(QWidget* parent = nullptr);
};
