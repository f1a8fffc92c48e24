#include "bitmapbutton.h"

#include <gtest/gtest.h>

#include <ostream>

#include <QApplication>
#include <QElapsedTimer>

#include "resources.h"
#include "widget_render.h"

using velmo::test::renderWidget;
using Face = BitmapButton::Face;

namespace {

// The part of `image` the bitmap covers, drawn at its own size from the top-left.
bool drawnAtTopLeft(const QImage& rendered, const QImage& bitmap) {
    const QImage expected = bitmap.convertToFormat(QImage::Format_RGB32);
    return rendered.copy(QRect(QPoint(0, 0), expected.size())) == expected;
}

struct FaceRow {
    const char* name;
    int normal, selected, focus, disabled;
    bool down, enabled;
    Face face;
    int shownId;
};

// Parameterised tests print the row by its name.
void PrintTo(const FaceRow& row, std::ostream* os) { *os << row.name; }

class BitmapButtonFaces : public ::testing::TestWithParam<FaceRow> {};

TEST_P(BitmapButtonFaces, PaintTheImageOfTheButtonsState) {
    const FaceRow& row = GetParam();
    BitmapButton button(QStringLiteral("BUTTON_UP"));
    EXPECT_TRUE(button.loadBitmaps(row.normal, row.selected, row.focus, row.disabled));
    button.resize(30, 30);
    button.setDown(row.down);
    button.setEnabled(row.enabled);

    EXPECT_EQ(row.face, button.currentFace());
    const QImage rendered = renderWidget(button);
    const QImage shown = velmo::loadBitmapResource(row.shownId);
    EXPECT_TRUE(drawnAtTopLeft(rendered, shown)) << "bitmap " << row.shownId << " expected";
}

INSTANTIATE_TEST_SUITE_P(
    States, BitmapButtonFaces,
    ::testing::Values(FaceRow{"UpNormal", 129, 134, 129, 135, false, true, Face::Normal, 129},
                      FaceRow{"UpPressed", 129, 134, 129, 135, true, true, Face::Selected, 134},
                      FaceRow{"UpDisabled", 129, 134, 129, 135, false, false, Face::Disabled, 135},
                      FaceRow{"DownNormal", 131, 132, 131, 133, false, true, Face::Normal, 131},
                      FaceRow{"DownPressed", 131, 132, 131, 133, true, true, Face::Selected, 132},
                      FaceRow{"DownDisabled", 131, 132, 131, 133, false, false, Face::Disabled, 133},
                      FaceRow{"PressedWithoutSelectedImage", 131, 0, 0, 133, true, true, Face::Normal, 131},
                      FaceRow{"DisabledWithoutDisabledImage", 131, 132, 0, 0, false, false, Face::Normal, 131}),
    [](const ::testing::TestParamInfo<FaceRow>& info) { return std::string(info.param.name); });

TEST(BitmapButton, FocusedFaceComesBeforeDisabledAndAfterPressed) {
    QWidget window;
    auto* button = new BitmapButton(QStringLiteral("BUTTON_DOWN"), &window);
    // Distinct focus image, so the focus face can be told from the normal one.
    ASSERT_TRUE(button->loadBitmaps(131, 132, 133, 135));
    button->resize(24, 22);
    window.show();
    QApplication::setActiveWindow(&window);
    button->setFocus();
    QElapsedTimer timer;
    timer.start();
    while (!button->hasFocus() && timer.elapsed() < 5000) QApplication::processEvents(QEventLoop::AllEvents, 20);
    ASSERT_TRUE(button->hasFocus());

    EXPECT_EQ(Face::Focus, button->currentFace());
    EXPECT_TRUE(drawnAtTopLeft(renderWidget(*button), velmo::loadBitmapResource(133)));
    button->setDown(true);
    EXPECT_EQ(Face::Selected, button->currentFace());
}

TEST(BitmapButton, LoadingReportsMissingBitmaps) {
    BitmapButton button;
    EXPECT_FALSE(button.loadBitmaps(9999, 134)) << "no normal bitmap";
    EXPECT_TRUE(button.image(Face::Normal).isNull());
    EXPECT_TRUE(button.image(Face::Selected).isNull()) << "nothing else is loaded without the normal one";

    EXPECT_FALSE(button.loadBitmaps(129, 9999, 0, 135)) << "a missing selected bitmap";
    EXPECT_FALSE(button.image(Face::Normal).isNull());
    EXPECT_TRUE(button.image(Face::Selected).isNull());
    EXPECT_FALSE(button.image(Face::Disabled).isNull());
    button.setDown(true);
    EXPECT_EQ(Face::Normal, button.currentFace());

    // A new load drops the images of the previous one.
    EXPECT_TRUE(button.loadBitmaps(QStringLiteral("131")));
    EXPECT_TRUE(button.image(Face::Disabled).isNull());
    EXPECT_EQ(velmo::loadBitmapResource(131), button.image(Face::Normal));

    button.sizeToContent();
    EXPECT_EQ(QSize(24, 22), button.size());
    EXPECT_EQ(QSize(24, 22), button.sizeHint());
}

TEST(BitmapButton, ScaledContentsFillTheButton) {
    BitmapButton button;
    ASSERT_TRUE(button.loadBitmaps(129, 134, 129, 135));
    button.setScaledContents(true);
    button.resize(48, 44);
    const QImage rendered = renderWidget(button);
    const QImage expected = velmo::loadBitmapResource(129)
                                .scaled(48, 44, Qt::IgnoreAspectRatio, Qt::FastTransformation)
                                .convertToFormat(QImage::Format_RGB32);
    EXPECT_EQ(expected, rendered);
}

}  // namespace
