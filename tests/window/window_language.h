// The window in each of its languages, from the build tree's catalogues,
// chosen by LANGUAGE as a desktop session chooses them; and what every
// language must give: captions shown whole and controls a screen reader can
// name.
#pragma once

#include <gtest/gtest.h>
#include <libintl.h>

#include <QAbstractButton>
#include <QAccessible>
#include <QFontMetrics>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QWidget>
#include <clocale>
#include <cstdlib>
#include <string>

#include "bitmappicture.h"
#include "install_paths.h"
#include "translation.h"

namespace velmo::test {

// "C" is the English of the sources.
inline const char* const kLanguages[] = {"C", "de", "fr", "es"};

// The texts from now on in `language`. gettext ignores LANGUAGE under the C
// locale; C.UTF-8 is on every Debian system and lets it through.
inline void useLanguage(const char* language) {
    static const bool bound = [] {
        initTranslations(localeFolder(VELMO_BIN_DIR));
        return true;
    }();
    (void)bound;
    ::setenv("LANGUAGE", language, 1);
    std::setlocale(LC_MESSAGES, "C.UTF-8");
    // gettext keeps what it has looked up; naming the domain again drops that.
    ::textdomain(::textdomain(nullptr));
}

// The caption as drawn: a mnemonic's "&" is not shown.
inline QString drawnText(const QString& text) {
    QString out;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] == QLatin1Char('&') && i + 1 < text.size()) ++i;
        out += text[i];
    }
    return out;
}

// Every button, radio button and label of `window` shows its whole text: the
// text's width within the control (a radio button's within what its
// indicator leaves).
inline void expectCaptionsWhole(const QWidget& window) {
    const QStyle* style = window.style();
    const int indicator =
        style->pixelMetric(QStyle::PM_ExclusiveIndicatorWidth) + style->pixelMetric(QStyle::PM_RadioButtonLabelSpacing);
    int checked = 0;
    for (const QWidget* w : window.findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
        if (!w->isVisible()) continue;
        QString text;
        int room = w->width();
        if (const auto* r = qobject_cast<const QRadioButton*>(w)) {
            text = r->text();
            room -= indicator;
        } else if (const auto* b = qobject_cast<const QPushButton*>(w)) {
            text = b->text();
        } else if (const auto* l = qobject_cast<const QLabel*>(w)) {
            text = l->text();
        } else if (const auto* p = qobject_cast<const BitmapPicture*>(w)) {
            text = p->text();
        } else {
            continue;
        }
        ++checked;
        EXPECT_LE(QFontMetrics(w->font()).horizontalAdvance(drawnText(text)), room)
            << w->objectName().toStdString() << ": " << text.toStdString();
    }
    EXPECT_GE(checked, 11);  // 5 buttons, 3 radio buttons, the picture, caption and status line
}

// Every control that takes the focus has a name a screen reader says.
inline void expectControlsNamed(const QWidget& window) {
    int checked = 0;
    for (QWidget* w : window.findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
        if (w->focusPolicy() == Qt::NoFocus || !w->isVisible()) continue;
        ++checked;
        QAccessibleInterface* a = QAccessible::queryAccessibleInterface(w);
        ASSERT_NE(nullptr, a) << w->objectName().toStdString();
        EXPECT_FALSE(a->text(QAccessible::Name).trimmed().isEmpty()) << w->objectName().toStdString();
    }
    EXPECT_GE(checked, 11);  // the list, the arrows, 5 buttons, 3 radio buttons
}

}  // namespace velmo::test
