// The window's images, compiled in from res/velmo.qrc. Resource paths:
//   ":/bitmaps/<id>.png"  bitmaps by id (129 ... 135, 144)
//   ":/icons/128-32.png", ":/icons/128-16.png"  the program icon's two sizes
#pragma once

#include <QIcon>
#include <QImage>
#include <QString>

namespace velmo {

// Resource ids.
constexpr int kIconProgram = 128;         // 32 x 32 and 16 x 16
constexpr int kBitmapUp = 129;            // Up button: raised face, 24 x 22
constexpr int kBitmapDown = 131;          // Down button: raised face
constexpr int kBitmapDownSelected = 132;  // Down button: pressed
constexpr int kBitmapDownDisabled = 133;  // Down button: greyed
constexpr int kBitmapUpSelected = 134;    // Up button: pressed
constexpr int kBitmapUpDisabled = 135;    // Up button: greyed
constexpr int kBitmapAbout = 144;         // the About box picture, 32 x 32

// Registers the compiled-in resources. A static library's resources are not
// registered by themselves; every function below calls this, and calling it
// again does nothing.
void initResources();

// ":/bitmaps/<id>.png".
QString bitmapResourcePath(int id);

// A bitmap by name: a name holding a '/' (":/bitmaps/144.png", or a file) is
// used as the path it is; any other name is looked up as ":/bitmaps/<name>.png".
QString bitmapResourcePath(const QString& name);

// The bitmap, or a null image when there is none by that id or name.
QImage loadBitmapResource(int id);
QImage loadBitmapResource(const QString& name);

// The program icon, resource 128, with its 32 x 32 and 16 x 16 images.
QIcon programIcon();

}  // namespace velmo
