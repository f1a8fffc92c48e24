// What the main window's source files share, and nothing outside them uses.
#pragma once

#include <QEvent>
#include <QString>
#include <string>

#include "translation.h"

namespace velmo::window {

// Tells the user-interface thread that a worker has queued an event.
class WorkerEvent : public QEvent {
  public:
    WorkerEvent() : QEvent(eventType()) {}

    static QEvent::Type eventType() {
        static const QEvent::Type type = static_cast<QEvent::Type>(QEvent::registerEventType());
        return type;
    }
};

// The core's texts are in the locale's encoding.
inline QString fromCore(const std::string& text) {
    return QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size()));
}

// A text of the window's own, in the user's language.
inline QString translated(const char* english) { return QString::fromUtf8(velmo::tr_(english)); }

// The caption as it is drawn: a mnemonic's "&" is not shown ("&&" shows one "&").
inline QString shownText(const QString& text) {
    QString out;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] == QLatin1Char('&') && i + 1 < text.size()) ++i;
        out += text[i];
    }
    return out;
}

// The template's font family; missing, a metric-compatible one stands in.
inline const QString kTemplateFamily = QStringLiteral("Times New Roman");
// Below this the captions are no longer legible; a smaller screen crops.
constexpr int kSmallestPointSize = 6;

}  // namespace velmo::window
