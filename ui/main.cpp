// lumaro: the desktop program. Every command-line argument is a file to add;
// a run starts about 100 ms after the window has come up.
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include <QApplication>

#include "MainWindow.h"
#include "UiFonts.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("lumaro"));
    QApplication::setDesktopFileName(QStringLiteral("lumaro"));
    lumaro::ui::InstallFontSubstitutions();

    lumaro::ui::TMainWindowServices services;
    // Arguments are taken as raw bytes so that any file name survives; a
    // relative name is made absolute, since results are placed beside it.
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        std::error_code ec;
        const auto abs = std::filesystem::absolute(std::filesystem::path(a), ec);
        services.Arguments.push_back(ec ? a : abs.lexically_normal().string());
    }

    lumaro::ui::TFm_Main window(std::move(services));
    window.show();
    return app.exec();
}
