#include "about_dialog.h"

#include <QLabel>
#include <QPixmap>
#include <QPushButton>

#include "dialog_units.h"
#include "resources.h"
#include "translation.h"

AboutDialog::AboutDialog(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QString::fromUtf8(velmo::tr_("Demo")));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    setFont(velmo::templateFont(QStringLiteral("MS Sans Serif"), 10));
    const velmo::DialogUnits du(font());
    setFixedSize(du.toPixelsX(235), du.toPixelsY(55));

    // A static bitmap control takes its bitmap's own size at its position.
    auto* picture = new QLabel(this);
    picture->setObjectName(QLatin1String(velmo::kAboutPictureName));
    const QPixmap pixmap = QPixmap::fromImage(velmo::loadBitmapResource(velmo::kBitmapAbout));
    picture->setPixmap(pixmap);
    picture->setGeometry(QRect(du.toPixels(11, 17, 18, 20).topLeft(), pixmap.size()));

    auto* text = new QLabel(QString::fromUtf8(velmo::tr_("Zentro Version 1.0")), this);
    text->setObjectName(QLatin1String(velmo::kAboutTextName));
    text->setTextFormat(Qt::PlainText);
    text->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    text->setGeometry(du.toPixels(40, 10, 119, 8));

    auto* ok = new QPushButton(QString::fromUtf8(velmo::tr_("OK")), this);
    ok->setObjectName(QString::number(velmo::kIdOk));
    ok->setGeometry(du.toPixels(175, 14, 50, 14));
    ok->setDefault(true);
    ok->setFocus();
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}
