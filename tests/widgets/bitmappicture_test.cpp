#include "bitmappicture.h"

#include <gtest/gtest.h>

#include <ostream>

#include <QFontMetrics>
#include <QIcon>
#include <QPalette>
#include <set>
#include <vector>

#include "resources.h"
#include "tempdir.h"
#include "widget_render.h"

using velmo::test::inkBounds;
using velmo::test::renderWidget;
using velmo::test::TempDir;

namespace {

const QColor kFace(10, 200, 30);
const QColor kShadow(20, 40, 160);
const QColor kLight(240, 230, 10);

QPalette testPalette(const QColor& face = kFace) {
    QPalette palette;
    palette.setColor(QPalette::Button, face);
    palette.setColor(QPalette::Dark, kShadow);
    palette.setColor(QPalette::Midlight, kLight);
    palette.setColor(QPalette::WindowText, Qt::black);
    return palette;
}

// Saves `image` as a PNG in `dir` and returns its path, for loadFromName.
QString savePng(const TempDir& dir, const char* name, const QImage& image) {
    const QString path = QString::fromStdString(dir.file(name));
    EXPECT_TRUE(image.save(path, "PNG"));
    return path;
}

struct TextRow {
    const char* name;
    const char* text;
    bool centerImage;
};

// Parameterised tests print the row by its name.
void PrintTo(const TextRow& row, std::ostream* os) { *os << row.name; }

class PictureWithoutBitmap : public ::testing::TestWithParam<TextRow> {};

TEST_P(PictureWithoutBitmap, PaintsTheButtonFaceAndItsText) {
    const TextRow& row = GetParam();
    BitmapPicture picture(QString::fromUtf8(row.text));
    picture.setPalette(testPalette());
    picture.setCenterImage(row.centerImage);
    picture.resize(160, 40);
    ASSERT_FALSE(picture.hasBitmap());

    const QImage image = renderWidget(picture);
    for (const QPoint corner : {QPoint(0, 0), QPoint(159, 0), QPoint(0, 39), QPoint(159, 39)})
        EXPECT_EQ(kFace.rgb(), image.pixel(corner)) << corner.x() << "," << corner.y();

    int ink = 0;
    const QRect bounds = inkBounds(image, kFace.rgb(), &ink);
    if (row.text[0] == '\0') {
        EXPECT_EQ(0, ink) << "an empty text draws nothing";
        return;
    }
    ASSERT_GT(ink, 20);
    // The text runs across the middle, about as wide as the font makes it.
    const int advance = QFontMetrics(picture.font()).horizontalAdvance(picture.text());
    EXPECT_NEAR(80, bounds.center().x(), 3);
    EXPECT_NEAR(advance, bounds.width(), 4);
    if (row.centerImage) {
        EXPECT_NEAR(20, bounds.center().y(), 3);
    } else {
        EXPECT_LT(bounds.top(), 8);
        EXPECT_LT(bounds.bottom(), 22);
    }
}

INSTANTIATE_TEST_SUITE_P(Texts, PictureWithoutBitmap,
                         ::testing::Values(TextRow{"CentredImage", "Music Song:", true},
                                           TextRow{"TopAligned", "Music Song:", false}, TextRow{"EmptyText", "", true}),
                         [](const ::testing::TestParamInfo<TextRow>& info) { return std::string(info.param.name); });

// Pixel (x, y) of the test bitmap tells its own position: red 2x, green 4y,
// blue 100. The last column and row are magenta, a colour with blue 255.
QImage positionBitmap(int width, int height) {
    QImage image(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            image.setPixel(x, y, (x == width - 1 || y == height - 1) ? qRgb(255, 0, 255) : qRgb(2 * x, 4 * y, 100));
    return image;
}

TEST(PictureWithBitmap, StretchesAllButTheLastColumnAndRowOverTheControl) {
    TempDir dir;
    BitmapPicture picture;
    picture.setPalette(testPalette());
    ASSERT_TRUE(picture.loadFromName(savePng(dir, "stretch.png", positionBitmap(100, 50))));
    ASSERT_EQ(QSize(100, 50), picture.bitmapSize());
    picture.resize(200, 100);

    const QImage image = renderWidget(picture);
    std::set<int> columns, rows;
    for (int y = 0; y < image.height(); ++y) {
        int previous = -1;
        for (int x = 0; x < image.width(); ++x) {
            const QRgb p = image.pixel(x, y);
            ASSERT_EQ(100, qBlue(p)) << "pixel " << x << "," << y << " is not from the top-left 99 x 49";
            const int sx = qRed(p) / 2;
            ASSERT_GE(sx, previous) << "columns keep their order";
            previous = sx;
            columns.insert(sx);
            rows.insert(qGreen(p) / 4);
        }
    }
    EXPECT_EQ(99u, columns.size());
    EXPECT_EQ(0, *columns.begin());
    EXPECT_EQ(98, *columns.rbegin());
    EXPECT_EQ(49u, rows.size());
    EXPECT_EQ(0, *rows.begin());
    EXPECT_EQ(48, *rows.rbegin());
    EXPECT_EQ(qRgb(0, 0, 100), image.pixel(0, 0));
    EXPECT_EQ(qRgb(2 * 98, 4 * 48, 100), image.pixel(199, 99));
}

TEST(PictureWithBitmap, DrawsItsTextOverTheBitmap) {
    TempDir dir;
    QImage plain(40, 20, QImage::Format_RGB32);
    plain.fill(qRgb(250, 250, 250));
    BitmapPicture picture(QStringLiteral("Music Song:"));
    picture.setPalette(testPalette());
    picture.setCenterImage(true);
    ASSERT_TRUE(picture.loadFromName(savePng(dir, "plain.png", plain)));
    picture.resize(160, 40);

    int ink = 0;
    const QRect bounds = inkBounds(renderWidget(picture), qRgb(250, 250, 250), &ink);
    EXPECT_GT(ink, 20);
    EXPECT_NEAR(80, bounds.center().x(), 3);
    EXPECT_NEAR(20, bounds.center().y(), 3);
}

TEST(PictureWithBitmap, GreysTakeThePaletteColoursAndFollowAPaletteChange) {
    TempDir dir;
    QImage greys(4, 1, QImage::Format_RGB32);
    greys.setPixel(0, 0, qRgb(128, 128, 128));
    greys.setPixel(1, 0, qRgb(192, 192, 192));
    greys.setPixel(2, 0, qRgb(223, 223, 223));
    greys.setPixel(3, 0, qRgb(191, 191, 191));
    BitmapPicture picture;
    picture.setPalette(testPalette());
    ASSERT_TRUE(picture.loadFromName(savePng(dir, "greys.png", greys)));
    EXPECT_EQ(kShadow.rgb(), picture.bitmap().pixel(0, 0));
    EXPECT_EQ(kFace.rgb(), picture.bitmap().pixel(1, 0));
    EXPECT_EQ(kLight.rgb(), picture.bitmap().pixel(2, 0));
    EXPECT_EQ(qRgb(191, 191, 191), picture.bitmap().pixel(3, 0));

    const QColor newFace(200, 10, 90);
    picture.setPalette(testPalette(newFace));
    EXPECT_EQ(newFace.rgb(), picture.bitmap().pixel(1, 0));
}

TEST(PictureLoading, RecordsWhatWasAskedForAndReloadsIt) {
    TempDir dir;
    const QString named = savePng(dir, "named.png", positionBitmap(10, 6));
    BitmapPicture picture;

    EXPECT_EQ(-1, picture.resourceId());
    EXPECT_FALSE(picture.reloadBitmap()) << "nothing asked for yet";

    EXPECT_FALSE(picture.loadFromId(0));
    EXPECT_EQ(0, picture.resourceId());
    EXPECT_TRUE(picture.resourceName().isEmpty());
    EXPECT_FALSE(picture.reloadBitmap()) << "id 0 and no name";
    EXPECT_FALSE(picture.hasBitmap());

    ASSERT_TRUE(picture.loadFromId(velmo::kBitmapUp));
    EXPECT_EQ(QSize(24, 22), picture.bitmapSize());
    EXPECT_TRUE(picture.reloadBitmap());

    ASSERT_TRUE(picture.loadFromName(named));
    EXPECT_EQ(-1, picture.resourceId());
    EXPECT_EQ(named, picture.resourceName());
    EXPECT_TRUE(picture.reloadBitmap());
    EXPECT_EQ(QSize(10, 6), picture.bitmapSize());

    // A failed load keeps the bitmap shown and still records the id, so a
    // later reload tries that id again.
    EXPECT_FALSE(picture.loadFromId(9999));
    EXPECT_EQ(9999, picture.resourceId());
    EXPECT_TRUE(picture.resourceName().isEmpty());
    EXPECT_EQ(QSize(10, 6), picture.bitmapSize());
    EXPECT_FALSE(picture.reloadBitmap());
    EXPECT_EQ(QSize(10, 6), picture.bitmapSize());

    EXPECT_FALSE(picture.loadFromName(QStringLiteral("no such bitmap")));
    EXPECT_EQ(-1, picture.resourceId());
    EXPECT_EQ(QSize(10, 6), picture.bitmapSize());

    EXPECT_TRUE(picture.loadFromName(QStringLiteral("144"))) << "a plain name is looked up among the bitmaps";
    EXPECT_EQ(QSize(32, 32), picture.bitmapSize());
}

TEST(Resources, EveryImageIsThereAtItsSize) {
    struct Row {
        int id;
        QSize size;
    };
    const Row rows[] = {
        {velmo::kBitmapUp, {24, 22}},    {velmo::kBitmapUpSelected, {24, 22}},   {velmo::kBitmapUpDisabled, {24, 22}},
        {velmo::kBitmapDown, {24, 22}},  {velmo::kBitmapDownSelected, {24, 22}}, {velmo::kBitmapDownDisabled, {24, 22}},
        {velmo::kBitmapAbout, {32, 32}},
    };
    std::vector<QImage> images;
    for (const Row& row : rows) {
        images.push_back(velmo::loadBitmapResource(row.id));
        ASSERT_FALSE(images.back().isNull()) << row.id;
        EXPECT_EQ(row.size, images.back().size()) << row.id;
    }
    for (std::size_t i = 0; i < images.size(); ++i)
        for (std::size_t j = i + 1; j < images.size(); ++j)
            EXPECT_NE(images[i], images[j])
                << "bitmaps " << rows[i].id << " and " << rows[j].id << " are the same picture";
    EXPECT_EQ(velmo::bitmapResourcePath(129), QStringLiteral(":/bitmaps/129.png"));

    const QIcon icon = velmo::programIcon();
    const QList<QSize> sizes = icon.availableSizes();
    EXPECT_TRUE(sizes.contains(QSize(32, 32)));
    EXPECT_TRUE(sizes.contains(QSize(16, 16)));
    EXPECT_FALSE(icon.pixmap(32, 32).isNull());
}

}  // namespace
