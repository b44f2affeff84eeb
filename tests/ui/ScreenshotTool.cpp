// Saves a PNG of the main window after a run over a few sample photos:
//   lumaro_screenshot OUTPUT.png
// The settings stay in memory, so no user settings are read or written.
#include <cstdio>
#include <filesystem>

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QPixmap>
#include <QTemporaryDir>

#include "MainWindow.h"
#include "UiFonts.h"

namespace fs = std::filesystem;

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: lumaro_screenshot OUTPUT.png\n");
        return 2;
    }
    QApplication app(argc, argv);
    lumaro::ui::InstallFontSubstitutions();
    QTemporaryDir dir;
    const fs::path folder = fs::path(dir.path().toStdString()) / "写真" / "2026-旅行";
    fs::create_directories(folder);
    std::vector<std::string> files;
    for (const char* name : {"rose-420.jpg", "granite-exif.jpg", "wizard-444.jpg", "plasma-restart.jpg", "logo-gray.jpg"}) {
        fs::copy_file(fs::path(LUMARO_SAMPLES_DIR) / name, folder / name);
        files.push_back((folder / name).string());
    }
    lumaro::ui::TMainWindowServices services;
    services.Arguments = files;
    services.Settings.Load = [](lumaro::TSettings&, lumaro::TWindowGeometry&) { return std::vector<std::string>{}; };
    services.Settings.Save = [](const lumaro::TSettings&, const lumaro::TWindowGeometry&) { return std::vector<std::string>{}; };
    lumaro::ui::TFm_Main window(std::move(services));
    window.show();

    QElapsedTimer clock;
    clock.start();
    while (!window.StatusBar->text().contains(QStringLiteral("処理しました")) && clock.elapsed() < 60000)
        QApplication::processEvents(QEventLoop::AllEvents, 50);
    if (!window.StatusBar->text().contains(QStringLiteral("処理しました"))) {
        std::fprintf(stderr, "the run did not finish\n");
        return 1;
    }
    QApplication::processEvents();
    if (!window.grab().save(QString::fromLocal8Bit(argv[1]), "PNG")) {
        std::fprintf(stderr, "cannot write %s\n", argv[1]);
        return 1;
    }
    window.close();
    return 0;
}
