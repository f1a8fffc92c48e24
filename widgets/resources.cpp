#include "resources.h"

#include <QFile>

// Q_INIT_RESOURCE names a function in the global namespace, so it cannot be
// used inside namespace velmo.
static void registerVelmoResources() { Q_INIT_RESOURCE(velmo); }

namespace velmo {

void initResources() {
    static const bool registered = (registerVelmoResources(), true);
    (void)registered;
}

QString bitmapResourcePath(int id) { return QStringLiteral(":/bitmaps/%1.png").arg(id); }

QString bitmapResourcePath(const QString& name) {
    if (name.contains(QLatin1Char('/'))) return name;
    return QStringLiteral(":/bitmaps/%1.png").arg(name);
}

namespace {

QImage loadImage(const QString& path) {
    initResources();
    // QImage would also try every other format's reader on a missing file;
    // asking first keeps a miss quiet and cheap.
    if (!QFile::exists(path)) return {};
    return QImage(path);
}

}  // namespace

QImage loadBitmapResource(int id) { return loadImage(bitmapResourcePath(id)); }

QImage loadBitmapResource(const QString& name) {
    if (name.isEmpty()) return {};
    return loadImage(bitmapResourcePath(name));
}

QIcon programIcon() {
    initResources();
    QIcon icon;
    icon.addFile(QStringLiteral(":/icons/128-32.png"), QSize(32, 32));
    icon.addFile(QStringLiteral(":/icons/128-16.png"), QSize(16, 16));
    return icon;
}

}  // namespace velmo
