// The window at QT_SCALE_FACTOR=2 on a 1280 x 800 screen: at the template's
// 11 points it would be 1296 x 836 device pixels and lose its status line,
// so it must step its font down until it fits. Its own main sets the scale
// and the offscreen platform's screen before the QApplication starts.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFile>
#include <QFontMetrics>
#include <QLabel>
#include <QScreen>
#include <QStyle>
#include <QTest>
#include <algorithm>
#include <filesystem>
#include <string>

#include "main_window.h"
#include "tempdir.h"
#include "velmo_core.h"
#include "window_language.h"
#include "zentro_sim_control.h"

namespace fs = std::filesystem;

namespace {

constexpr int kScreenWidth = 1280;
constexpr int kScreenHeight = 800;
constexpr int kScale = 2;

TEST(ScaledWindow, FitsTheScreenWithItsStatusLine) {
    velmo::test::TempDir dir;
    const std::string start = dir.file("start");
    fs::create_directories(start);
    fs::copy_file(std::string(VELMO_BIN_DIR) + "/spn.bin", start + "/spn.bin");
    ASSERT_EQ(0, zentroSimSetDir(dir.file("sim").c_str()));
    ASSERT_EQ(0, zentroSimReset());

    QScreen* screen = QGuiApplication::primaryScreen();
    ASSERT_DOUBLE_EQ(kScale, screen->devicePixelRatio());
    ASSERT_EQ(QSize(kScreenWidth / kScale, kScreenHeight / kScale), screen->geometry().size());

    MainWindow dlg(nullptr, QString::fromStdString(start));
    dlg.start();
    ASSERT_FALSE(dlg.isClosed());
    dlg.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));

    // The whole window with a title bar (a desktop's is about 30 pixels), in
    // device pixels, on the screen.
    const int titleBar = std::max(32, dlg.style()->pixelMetric(QStyle::PM_TitleBarHeight, nullptr, &dlg));
    EXPECT_LE(dlg.width() * kScale, kScreenWidth);
    EXPECT_LE((dlg.height() + titleBar) * kScale, kScreenHeight);
    EXPECT_LT(dlg.font().pointSize(), 11);
    EXPECT_GE(dlg.font().pointSize(), 6);

    // Still the template's layout in the smaller units: every control inside
    // the window, the status line across its bottom, its text readable.
    for (QWidget* w : dlg.findChildren<QWidget*>()) {
        if (w->parentWidget() == &dlg && w->isVisible()) {
            EXPECT_TRUE(dlg.rect().contains(w->geometry())) << w->objectName().toStdString();
        }
    }
    auto* status = dlg.findChild<QLabel*>(QString::number(velmo::kIdStatusLine));
    ASSERT_NE(nullptr, status);
    EXPECT_EQ(dlg.height(), status->geometry().bottom() + 1);
    EXPECT_EQ(dlg.width(), status->width());
    EXPECT_EQ(" Space usage: 0.0%", status->text().toStdString());
    EXPECT_LE(QFontMetrics(status->font()).height(), status->height() + 2);
    EXPECT_EQ(dlg.dialogUnits().toPixelsY(209), dlg.height());
    dlg.close();
}

// At twice the scale the window's font steps down to fit the screen; in
// every language the captions still show whole and every control is named.
TEST(ScaledWindow, EveryLanguageFitsAndNamesItsControls) {
    velmo::test::TempDir dir;
    const std::string start = dir.file("start");
    fs::create_directories(start);
    fs::copy_file(std::string(VELMO_BIN_DIR) + "/spn.bin", start + "/spn.bin");
    ASSERT_EQ(0, zentroSimSetDir(dir.file("sim").c_str()));
    ASSERT_EQ(0, zentroSimReset());
    for (const char* language : velmo::test::kLanguages) {
        SCOPED_TRACE(language);
        velmo::test::useLanguage(language);
        MainWindow dlg(nullptr, QString::fromStdString(start));
        dlg.start();
        ASSERT_FALSE(dlg.isClosed());
        dlg.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));
        EXPECT_LT(dlg.font().pointSize(), 11);
        velmo::test::expectCaptionsWhole(dlg);
        velmo::test::expectControlsNamed(dlg);
        dlg.close();
    }
    velmo::test::useLanguage("C");
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    velmo::test::TempDir config;
    const std::string file = config.file("screen.json");
    {
        QFile out(QString::fromStdString(file));
        if (!out.open(QIODevice::WriteOnly)) return 1;
        out.write(QStringLiteral("{\"screens\": [{\"name\": \"laptop\", \"x\": 0, \"y\": 0, \"width\": %1, "
                                 "\"height\": %2, \"logicalDpi\": 96, \"logicalBaseDpi\": 96, \"dpr\": 1}]}")
                      .arg(kScreenWidth)
                      .arg(kScreenHeight)
                      .toUtf8());
    }
    qputenv("QT_QPA_PLATFORM", QByteArray("offscreen:configfile=") + QByteArray::fromStdString(file));
    qputenv("QT_SCALE_FACTOR", QByteArray::number(kScale));
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
