#include "UiTestSupport.h"

#include <fstream>
#include <iterator>

#include <QHeaderView>
#include <QImage>
#include <QTest>

#include "FileGrid.h"

namespace lumaro::uitest {

namespace fs = std::filesystem;

std::string TRig::Path(const std::string& relative) const { return Dir.path().toStdString() + "/" + relative; }

std::string TRig::Sample(const std::string& name, const std::string& as) {
    const std::string target = Path(as.empty() ? name : as);
    fs::create_directories(fs::path(target).parent_path());
    fs::copy_file(fs::path(LUMARO_SAMPLES_DIR) / name, target, fs::copy_options::overwrite_existing);
    return target;
}

std::string TRig::Text(const std::string& name) {
    const std::string target = Path(name);
    fs::create_directories(fs::path(target).parent_path());
    std::ofstream(target) << "not a picture\n";
    return target;
}

ui::TMainWindowServices TRig::Services(std::vector<std::string> arguments) {
    ui::TMainWindowServices s;
    s.Dialogs = &Dialogs;
    s.FileSystem = &Fs;
    s.Clock = &Clock;
    s.Shell = &Shell;
    s.Settings = Store.Access();
    s.Arguments = std::move(arguments);
    s.ProgramFolder = Dir.path().toStdString();
    s.BrowseFolder = [this](const std::string&, const std::string&) { return Dialogs.PickFolder(); };
    return s;
}

ui::TFm_Main& TRig::Open(std::vector<std::string> arguments) {
    Window = std::make_unique<ui::TFm_Main>(Services(std::move(arguments)));
    Current = Window.get();
    Window->show();
    if (!QTest::qWaitForWindowExposed(Window.get())) qWarning("the main window was not exposed");
    return *Window;
}

void TRig::Add(const std::vector<std::string>& paths) {
    Dialogs.OpenAnswers.push_back(paths);
    Window->mnu_FileOpen->trigger();
}

std::vector<std::uint8_t> ReadBytes(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

bool SamePixels(const std::string& a, const std::string& b) {
    const QImage ia(QString::fromStdString(a)), ib(QString::fromStdString(b));
    return !ia.isNull() && ia == ib;
}

QString CellText(ui::TFm_Main& w, int row, int column) {
    return w.GridModel->index(row - 1, column).data(Qt::DisplayRole).toString();
}

int ColumnAlignment(ui::TFm_Main& w, int row, int column) {
    return w.GridModel->index(row - 1, column).data(Qt::TextAlignmentRole).toInt() & Qt::AlignHorizontal_Mask;
}

QPoint RowPoint(ui::TFm_Main& w, int row) { return w.Grid->visualRect(w.GridModel->index(row - 1, 1)).center(); }

} // namespace lumaro::uitest
