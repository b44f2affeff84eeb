// lumaro: the desktop program. Every command-line argument is a file to add;
// a run starts about 100 ms after the window has come up.
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include <QApplication>
#include <QLibraryInfo>
#include <QTranslator>
#ifndef _WIN32
#include <csignal>
#include <unistd.h>

#include <QSocketNotifier>
#endif

#include "MainWindow.h"
#include "UiFonts.h"

#ifndef _WIN32
// SIGTERM and SIGINT (a logout, `kill`, Ctrl+C in the terminal) become an
// ordinary close request, so a run stops after the file in hand and the
// settings are saved. The handler only writes to a pipe; the window's thread
// reads it.
static int gTermPipe[2] = {-1, -1};

static void OnTerminate(int) {
    const char c = 1;
    [[maybe_unused]] auto n = ::write(gTermPipe[1], &c, 1);
}

static void CloseOnTerminate(QWidget& window) {
    if (::pipe(gTermPipe) != 0) return;
    auto* notifier = new QSocketNotifier(gTermPipe[0], QSocketNotifier::Read, &window);
    QObject::connect(notifier, &QSocketNotifier::activated, &window, [&window] {
        char c;
        [[maybe_unused]] auto n = ::read(gTermPipe[0], &c, 1);
        window.close();
    });
    struct sigaction sa {};
    sa.sa_handler = OnTerminate;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
}
#endif

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("lumaro"));
    QApplication::setDesktopFileName(QStringLiteral("lumaro"));
    lumaro::ui::InstallFontSubstitutions();
    // The program speaks Japanese whatever the locale: so do Qt's own file
    // dialogs and buttons, when the Qt translations are installed.
    QTranslator qtJapanese;
    if (qtJapanese.load(QStringLiteral("qtbase_ja"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QApplication::installTranslator(&qtJapanese);

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
#ifndef _WIN32
    CloseOnTerminate(window);
#endif
    window.show();
    return app.exec();
}
