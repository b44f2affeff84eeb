#include "MainWindow.h"

#include <algorithm>
#include <filesystem>

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QPainter>
#include <QGuiApplication>
#include <QProgressBar>
#include <QScreen>
#include <QPushButton>
#include <QScrollBar>
#include <QTimer>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>

#include "DisplayText.h"
#include "FileGrid.h"
#include "HelpDialog.h"
#include "OptionsDialog.h"
#include "PosixPlatform.h"
#include "QtPlatform.h"
#include "ToolIcons.h"
#include "UiFonts.h"
#include "WindowPlacement.h"
#include "WarningDialog.h"

namespace lumaro::ui {

namespace {

QString U(const std::string& s) { return QString::fromStdString(s); }

const char* const kEmptyListMessage = " ファイルやフォルダをドロップしてください。";

// The area between the tool bar and the status bar. While the grid is hidden
// it asks for files to be dropped.
class TListArea : public QWidget {
public:
    TListArea(QWidget* parent) : QWidget(parent) {}
    QWidget* Grid = nullptr;

protected:
    void paintEvent(QPaintEvent*) override {
        if (Grid && !Grid->isHidden()) return;
        QPainter p(this);
        QFont f = font();
        f.setPointSize(14);
        f.setBold(true);
        p.setFont(f);
        p.setPen(QColor(128, 128, 128));
        p.drawText(rect(), Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine, QString::fromUtf8(kEmptyListMessage));
    }
};

// Local paths of a drop, in drop order.
std::vector<std::string> DroppedPaths(const QMimeData* mime) {
    std::vector<std::string> paths;
    if (!mime || !mime->hasUrls()) return paths;
    for (const QUrl& url : mime->urls())
        if (url.isLocalFile()) {
            QString p = url.toLocalFile();
            while (p.size() > 1 && p.endsWith(QLatin1Char('/'))) p.chop(1);  // a dropped folder "x/"
            paths.push_back(p.toStdString());
        }
    return paths;
}

} // namespace

TFm_Main::TFm_Main(TMainWindowServices services, QWidget* parent) : QMainWindow(parent), Services(std::move(services)) {
    setObjectName(QStringLiteral("Fm_Main"));
    setWindowTitle(QStringLiteral("JPEGファイル圧縮プログラム - lumaro -"));
    setWindowIcon(AppIcon());
    setFont(DesignFont(12));

    // The three dialogs exist once, hidden, and keep their state between showings.
    Fm_Help = new TFm_Help(this);
    Fm_Options = new TFm_Options(Settings, this);
    Fm_Warning = new TFm_Warning(this);

    QtDialogs = std::make_unique<TQtDialogs>(this, Fm_Warning);
    if (!Services.Dialogs) Services.Dialogs = QtDialogs.get();
    if (!Services.FileSystem) Services.FileSystem = (OwnFileSystem = std::make_unique<TPosixFileSystem>()).get();
    if (!Services.Clock) Services.Clock = (OwnClock = std::make_unique<TSteadyClock>()).get();
    if (!Services.Shell) Services.Shell = (OwnShell = std::make_unique<TQtShell>()).get();
    if (!Services.Settings.Load || !Services.Settings.Save) Services.Settings = DefaultSettingsAccess();
    if (!Services.BrowseFolder)
        Services.BrowseFolder = [this](const std::string& title, const std::string& initial) {
            return QtDialogs->PickFolder(title, initial);
        };
    if (Services.ProgramFolder.empty()) Services.ProgramFolder = QCoreApplication::applicationDirPath().toStdString();

    Fm_Options->BrowseFolder = [this](const std::string& title, const std::string& initial, std::string& chosen) {
        auto picked = Services.BrowseFolder(title, initial);
        if (!picked) return false;
        chosen = *picked;
        return true;
    };
    Fm_Options->FolderExists = [this](const std::string& p) { return !p.empty() && Services.FileSystem->FolderExists(p); };

    auto* central = new QWidget(this);
    auto* column = new QVBoxLayout(central);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    BuildMenus();
    BuildToolBar();
    column->addWidget(Panel);
    auto* area = new TListArea(central);
    area->setObjectName(QStringLiteral("ListArea"));
    BuildGrid(area);
    area->Grid = Grid;
    column->addWidget(area, 1);
    StatusBar = new QLabel(central);
    StatusBar->setObjectName(QStringLiteral("StatusBar"));
    StatusBar->setFixedHeight(19);
    StatusBar->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    StatusBar->setIndent(2);
    column->addWidget(StatusBar);
    ProgressBar = new QProgressBar(central);
    ProgressBar->setObjectName(QStringLiteral("ProgressBar"));
    ProgressBar->setFixedHeight(16);
    ProgressBar->setRange(0, 100);
    ProgressBar->setTextVisible(false);
    ProgressBar->hide();
    column->addWidget(ProgressBar);
    setCentralWidget(central);

    // Creation proper: settings and geometry, indicators, the core with the
    // list, the buffers and the engine, the grid's columns, the drop target.
    // Plain reads are read-only on this platform already (the file system
    // layer opens sources with O_RDONLY).
    TWindowGeometry geometry;
    LoadErrors = Services.Settings.Load(Settings, geometry);
    KeepOnScreen(geometry);
    LoadedGeometry = geometry;
    ApplyGeometry(geometry);  // a failed load still leaves a usable geometry
    ColourIndicators();
    BatchCore = std::make_unique<TBatchCore>(Settings, *this, *Services.Dialogs, *Services.FileSystem, *Services.Clock);
    BatchCore->AddSource = asFileDialog;
    GridModel = new TFileGridModel(BatchCore->FileList(), this);
    Grid->setModel(GridModel);
    connect(Grid->selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] {
        if (!SettingSelection) GridSelectCell();
    });
    SetGridSelection(TGridSelection{});
    SizeColumns();
    FormResize();
    setAcceptDrops(true);
    AcceptDrops = true;

    Timer = new QTimer(this);
    Timer->setObjectName(QStringLiteral("Timer"));
    Timer->setSingleShot(true);
    Timer->setInterval(100);
    connect(Timer, &QTimer::timeout, this, &TFm_Main::TimerTimer);
    Timer->start();

    // The window sees Ctrl+A before the focused control does.
    qApp->installEventFilter(this);
}

TFm_Main::~TFm_Main() {
    qApp->removeEventFilter(this);
}

void TFm_Main::BuildMenus() {
    auto action = [this](const char* name, const QString& text, const QString& hint) {
        auto* a = new QAction(text, this);
        a->setObjectName(QString::fromLatin1(name));
        if (!hint.isEmpty()) a->setToolTip(hint);
        a->setIconVisibleInMenu(false);
        return a;
    };
    mnu_File = menuBar()->addMenu(QStringLiteral("ファイル (&F)"));
    mnu_FileOpen = action("mnu_FileOpen", QStringLiteral("ファイルを開く(&O)"), QStringLiteral("ファイルを開く"));
    mnu_FolderOpen = action("mnu_FolderOpen", QStringLiteral("フォルダを開く(&Y)"), QStringLiteral("フォルダを開く"));
    mnu_Exit = action("mnu_Exit", QStringLiteral("終了 (&X)"), {});
    mnu_File->addAction(mnu_FileOpen);
    mnu_File->addAction(mnu_FolderOpen);
    mnu_File->addSeparator();
    mnu_File->addAction(mnu_Exit);

    mnu_Operation = menuBar()->addMenu(QStringLiteral("操作 (&O)"));
    mnu_DoOperation = action("mnu_DoOperation", QStringLiteral("圧縮処理の実行"), QStringLiteral("圧縮処理の実行"));
    mnu_StopOperation = action("mnu_StopOperation", QStringLiteral("圧縮処理の中止"), QStringLiteral("圧縮処理の中止"));
    mnu_ListClear = action("mnu_ListClear", QStringLiteral("選択したリストの削除 (&D)"), QStringLiteral("選択したリストの削除"));
    mnu_Option = action("mnu_Option", QStringLiteral("オプション (&O)"), QStringLiteral("オプション"));
    mnu_Operation->addAction(mnu_DoOperation);
    mnu_Operation->addAction(mnu_StopOperation);
    mnu_Operation->addAction(mnu_ListClear);
    mnu_Operation->addSeparator();
    mnu_Operation->addAction(mnu_Option);

    mnu_Help = menuBar()->addMenu(QStringLiteral("ヘルプ (&H)"));
    mnu_Topic = action("mnu_Topic", QStringLiteral("トピックの検索 (&Z)"), {});
    mnu_About = action("mnu_About", QStringLiteral("バージョン情報 (&A)"), {});
    mnu_Help->addAction(mnu_Topic);
    mnu_Help->addAction(mnu_About);

    mnu_DoOperation->setEnabled(false);
    mnu_StopOperation->setEnabled(false);
    mnu_ListClear->setEnabled(false);

    connect(mnu_FileOpen, &QAction::triggered, this, &TFm_Main::mnu_FileOpenClick);
    connect(mnu_FolderOpen, &QAction::triggered, this, &TFm_Main::mnu_FolderOpenClick);
    connect(mnu_Exit, &QAction::triggered, this, &TFm_Main::mnu_ExitClick);
    connect(mnu_DoOperation, &QAction::triggered, this, &TFm_Main::mnu_DoOperationClick);
    connect(mnu_StopOperation, &QAction::triggered, this, &TFm_Main::mnu_StopOperationClick);
    connect(mnu_ListClear, &QAction::triggered, this, &TFm_Main::mnu_ListClearClick);
    connect(mnu_Option, &QAction::triggered, this, &TFm_Main::mnu_OptionClick);
    connect(mnu_Topic, &QAction::triggered, this, &TFm_Main::mnu_TopicClick);
    connect(mnu_About, &QAction::triggered, this, &TFm_Main::mnu_AboutClick);
}

void TFm_Main::BuildToolBar() {
    Panel = new QWidget(this);
    Panel->setObjectName(QStringLiteral("Panel"));
    Panel->setFixedHeight(32);
    // A tool button shares its menu item's action: one enabled state, one hint.
    auto button = [this](const char* name, QAction* action, TToolImage image, int x) {
        auto* b = new QToolButton(Panel);
        b->setObjectName(QString::fromLatin1(name));
        action->setIcon(ToolIcon(image));
        b->setDefaultAction(action);
        b->setToolButtonStyle(Qt::ToolButtonIconOnly);
        b->setAutoRaise(true);
        b->setIconSize(QSize(22, 22));
        b->setGeometry(x, 2, 28, 28);
        b->setFocusPolicy(Qt::NoFocus);
        return b;
    };
    sbn_FileOpen = button("sbn_FileOpen", mnu_FileOpen, TToolImage::FileOpen, 0);
    sbn_FolderOpen = button("sbn_FolderOpen", mnu_FolderOpen, TToolImage::FolderOpen, 28);
    sbn_DoOperation = button("sbn_DoOperation", mnu_DoOperation, TToolImage::DoOperation, 64);
    sbn_StopOperation = button("sbn_StopOperation", mnu_StopOperation, TToolImage::StopOperation, 92);
    sbn_ListClear = button("sbn_ListClear", mnu_ListClear, TToolImage::ListClear, 126);
    sbn_Option = button("sbn_Option", mnu_Option, TToolImage::Option, 154);

    auto indicator = [this](const char* name, const QString& caption, int x, int w) {
        auto* l = new QLabel(caption, Panel);
        l->setObjectName(QString::fromLatin1(name));
        l->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        l->setFont(DesignFont(13, true));
        l->setAlignment(Qt::AlignCenter);
        l->setGeometry(x, 6, w, 20);
        return l;
    };
    Pnl_Code = indicator("Pnl_Code", QStringLiteral("圧縮情報の最適化"), 192, 128);
    Pnl_Exif = indicator("Pnl_Exif", QStringLiteral("撮影情報の削除"), 328, 118);
}

void TFm_Main::BuildGrid(QWidget* body) {
    auto* layout = new QVBoxLayout(body);
    layout->setContentsMargins(0, 0, 0, 0);
    Grid = new TFileGrid(body);
    Grid->setObjectName(QStringLiteral("Grid"));
    Grid->setFont(DesignFont(12));
    Grid->horizontalHeader()->setFont(DesignFont(12));
    QPalette pal = Grid->palette();
    pal.setColor(QPalette::Text, Qt::black);
    Grid->setPalette(pal);
    layout->addWidget(Grid);
    GridModel = nullptr;  // bound to the core's list once the core exists
    Grid->hide();

    PopupMenu = new QMenu(this);
    PopupMenu->setObjectName(QStringLiteral("PopupMenu"));
    mnu_PreImage = PopupMenu->addAction(QStringLiteral("元画像の表示"));
    mnu_PreImage->setObjectName(QStringLiteral("mnu_PreImage"));
    mnu_PostImage = PopupMenu->addAction(QStringLiteral("処理後画像の表示"));
    mnu_PostImage->setObjectName(QStringLiteral("mnu_PostImage"));
    PopupMenu->addSeparator()->setObjectName(QStringLiteral("mnu_Sepa03"));
    mnu_DeleteList = PopupMenu->addAction(QStringLiteral("リストから削除"));
    mnu_DeleteList->setObjectName(QStringLiteral("mnu_DeleteList"));
    connect(PopupMenu, &QMenu::aboutToShow, this, &TFm_Main::PopupMenuPopup);
    connect(mnu_PreImage, &QAction::triggered, this, &TFm_Main::mnu_PreImageClick);
    connect(mnu_PostImage, &QAction::triggered, this, &TFm_Main::mnu_PostImageClick);
    connect(mnu_DeleteList, &QAction::triggered, this, &TFm_Main::mnu_ListClearClick);

    Grid->setContextMenuPolicy(Qt::CustomContextMenu);
    Grid->horizontalHeader()->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(Grid, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& p) { PopupMenu->popup(Grid->viewport()->mapToGlobal(p)); });
    connect(Grid->horizontalHeader(), &QWidget::customContextMenuRequested, this,
            [this](const QPoint& p) { PopupMenu->popup(Grid->horizontalHeader()->mapToGlobal(p)); });
    connect(Grid, &TFileGrid::RightPressed, this, &TFm_Main::GridMouseDown);
    connect(Grid, &TFileGrid::DoubleClicked, this, &TFm_Main::GridDblClick);
    Grid->viewport()->installEventFilter(this);
}

void TFm_Main::SizeColumns() {
    const QFontMetrics fm(Grid->font());
    const int w2 = std::max(fm.horizontalAdvance(QStringLiteral(" 処理前サイズ ")), fm.horizontalAdvance(QStringLiteral("99,999,999")));
    Grid->setColumnWidth(gcNumber, fm.horizontalAdvance(QStringLiteral("9999")));
    Grid->setColumnWidth(gcName, fm.horizontalAdvance(QStringLiteral(" xxxxxxxx.jpg ")));
    Grid->setColumnWidth(gcSizeBefore, w2);
    Grid->setColumnWidth(gcSizeAfter, w2);
    Grid->setColumnWidth(gcFolder, 74);
}

// ---------------------------------------------------------------- geometry

void TFm_Main::ApplyGeometry(const TWindowGeometry& g) {
    // The store holds the outer frame; the frame's own size is only known once
    // the window is shown, so the client size is corrected in showEvent.
    move(g.Left, g.Top);
    resize(std::max(1, g.Width), std::max(1, g.Height));
    GeometryPending = true;
    switch (g.WindowState) {
    case 1: setWindowState(Qt::WindowMinimized); break;
    case 2: setWindowState(Qt::WindowMaximized); break;
    default: setWindowState(Qt::WindowNoState); break;
    }
}

void TFm_Main::KeepOnScreen(TWindowGeometry& g) {
    // A place stored while another monitor was attached may lie off every
    // screen now; the window then opens at its designed place instead.
    const QRect frame(g.Left, g.Top, std::max(1, g.Width), std::max(1, g.Height));
    const auto screens = QGuiApplication::screens();
    for (QScreen* s : screens)
        if (s->availableGeometry().intersects(frame)) return;
    if (screens.isEmpty()) return;
    const TWindowGeometry designed;
    g.Left = designed.Left;
    g.Top = designed.Top;
}

void TFm_Main::showEvent(QShowEvent* e) {
    QMainWindow::showEvent(e);
    if (GeometryPending && windowState() == Qt::WindowNoState) {
        GeometryPending = false;
        const QSize frame = frameGeometry().size() - size();
        if (!frame.isEmpty() && (frame.width() > 0 || frame.height() > 0))
            resize(std::max(1, LoadedGeometry.Width - frame.width()), std::max(1, LoadedGeometry.Height - frame.height()));
        move(LoadedGeometry.Left, LoadedGeometry.Top);
    }
}

TWindowGeometry TFm_Main::CurrentGeometry() const {
    TWindowGeometry g = LoadedGeometry;
    const Qt::WindowStates st = windowState();
    g.WindowState = (st & Qt::WindowMinimized) ? 1 : (st & Qt::WindowMaximized) ? 2 : 0;
    if (g.WindowState == 0) {
        const QRect r = frameGeometry();
        g.Top = r.top();
        g.Left = r.left();
        g.Height = r.height();
        g.Width = r.width();
    }
    return g;
}

void TFm_Main::resizeEvent(QResizeEvent* e) {
    QMainWindow::resizeEvent(e);
    FormResize();
}

void TFm_Main::FormResize() {
    if (Grid && !Grid->isHidden()) ApplyResizeRule();
}

void TFm_Main::ApplyResizeRule() {
    if (!GridModel) return;
    // The client width without a shown vertical scroll bar. While the grid is
    // hidden its viewport has no size yet, so the area it will fill counts.
    int client = Grid->isHidden() ? Grid->parentWidget()->width() - 2 * Grid->frameWidth() : Grid->viewport()->width();
    if (Grid->isHidden() && Grid->verticalScrollBar()->isVisible()) client -= Grid->verticalScrollBar()->width();
    const int lineWidth = 1;
    int rest = client - lineWidth * gcCount;
    for (int c = gcNumber; c < gcFolder; ++c) rest -= Grid->columnWidth(c);
    Grid->setColumnWidth(gcFolder, std::max(128, rest));
}

// ---------------------------------------------------------------- IBatchView

void TFm_Main::SetStatusText(const std::string& Text) { StatusBar->setText(U(Text)); }

void TFm_Main::SetCommandEnabled(TCommand Command, bool Enabled) {
    QAction* a = nullptr;
    switch (Command) {
    case TCommand::FileOpen: a = mnu_FileOpen; break;
    case TCommand::FolderOpen: a = mnu_FolderOpen; break;
    case TCommand::DoOperation: a = mnu_DoOperation; break;
    case TCommand::StopOperation: a = mnu_StopOperation; break;
    case TCommand::ListClear: a = mnu_ListClear; break;
    case TCommand::Option: a = mnu_Option; break;
    }
    if (a) a->setEnabled(Enabled);
}

void TFm_Main::SetProgressBarVisible(bool Visible) {
    StatusBar->setVisible(!Visible);
    ProgressBar->setVisible(Visible);
}

void TFm_Main::SetProgressMax(int Max) { ProgressBar->setMaximum(std::max(0, Max)); }

void TFm_Main::SetProgressPosition(int Position) {
    ProgressBar->setValue(std::clamp(Position, ProgressBar->minimum(), ProgressBar->maximum()));
}

void TFm_Main::SetGridVisible(bool Visible) {
    Grid->setVisible(Visible);
    Grid->parentWidget()->update();  // the empty-list message comes and goes with the grid
}

void TFm_Main::SetGridRowCount(int RowCount) {
    // Rows that vanish take their selection with them; that is not a choice
    // of the user's, so the core is not told (it sets the selection next).
    SettingSelection = true;
    if (GridModel) GridModel->SetDataRows(RowCount - 1);
    SettingSelection = false;
}

void TFm_Main::SetGridSelection(const TGridSelection& Selection) {
    if (!GridModel) return;
    SettingSelection = true;
    QItemSelectionModel* sm = Grid->selectionModel();
    const int rows = GridModel->rowCount();
    if (Selection.Top <= 0 || rows == 0) {
        sm->clearSelection();
    } else {
        const int top = std::min(Selection.Top, rows) - 1;
        const int bottom = std::clamp(Selection.Bottom, Selection.Top, rows) - 1;
        const QItemSelection sel(GridModel->index(top, 0), GridModel->index(bottom, gcCount - 1));
        sm->select(sel, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
        sm->setCurrentIndex(GridModel->index(top, 0), QItemSelectionModel::NoUpdate);
    }
    SettingSelection = false;
}

void TFm_Main::SetGridTopRow(int Row) { Grid->verticalScrollBar()->setValue(std::max(0, Row - 1)); }

int TFm_Main::VisibleDataRows() { return Grid->VisibleDataRows(); }

void TFm_Main::RepaintGrid() {
    if (GridModel) GridModel->RefreshAll();
    Grid->viewport()->update();
}

void TFm_Main::FitColumnsForName(const std::string& FileName) {
    const QFontMetrics fm(Grid->font());
    const int w = fm.horizontalAdvance(U(FileName + "  "));
    if (w > Grid->columnWidth(gcName)) Grid->setColumnWidth(gcName, w);
    ApplyResizeRule();
}

void TFm_Main::SetDropAccepted(bool Accepted) { AcceptDrops = Accepted; }

void TFm_Main::ProcessEvents() { QCoreApplication::processEvents(QEventLoop::AllEvents); }

TGridSelection TFm_Main::CurrentSelection() const {
    TGridSelection s;
    if (!GridModel) return s;
    const QModelIndexList rows = Grid->selectionModel()->selectedRows();
    if (rows.isEmpty()) return s;
    int top = rows.first().row(), bottom = top;
    for (const QModelIndex& i : rows) {
        top = std::min(top, i.row());
        bottom = std::max(bottom, i.row());
    }
    return TGridSelection{0, top + 1, gcCount - 1, bottom + 1};
}

// ---------------------------------------------------------------- handlers

template <class F> void TFm_Main::Guarded(F&& f) {
    // The top-level error report: the failure's text in an error box, and the
    // program goes on.
    try {
        f();
    } catch (const std::exception& e) {
        Services.Dialogs->ShowMessage(TMessageBox{e.what(), "エラー", TMsgIcon::Error, TMsgButtons::Ok});
    }
}

void TFm_Main::mnu_FileOpenClick() { Guarded([this] { BatchCore->mnu_FileOpenClick(); }); }
void TFm_Main::mnu_FolderOpenClick() { Guarded([this] { BatchCore->mnu_FolderOpenClick(); }); }
void TFm_Main::mnu_DoOperationClick() { Guarded([this] { BatchCore->mnu_DoOperationClick(); }); }
void TFm_Main::mnu_StopOperationClick() { BatchCore->mnu_StopOperationClick(); }
void TFm_Main::mnu_ListClearClick() { Guarded([this] { BatchCore->mnu_ListClearClick(); }); }

void TFm_Main::mnu_OptionClick() {
    Fm_Options->ShowModal();
    ColourIndicators();  // however the dialog was closed
}

void TFm_Main::mnu_TopicClick() {
    std::string folder = Services.ProgramFolder;
    if (!folder.empty() && folder.back() != kPathSep) folder += kPathSep;
    Services.Shell->OpenWithAssociatedProgram(folder + "readme.txt");  // the outcome is not examined
}

void TFm_Main::mnu_AboutClick() {
    CenterOnScreen(Fm_Help);
    Fm_Help->btn_close->setFocus();
    Fm_Help->exec();
}

void TFm_Main::mnu_ExitClick() { close(); }

void TFm_Main::ColourIndicators() {
    auto paint = [](QLabel* l, bool on) {
        QPalette pal = l->palette();
        pal.setColor(QPalette::WindowText, on ? QColor(0, 0, 0) : QColor(128, 128, 128));
        l->setPalette(pal);
    };
    paint(Pnl_Code, Settings.gOptimize_Code);
    paint(Pnl_Exif, Settings.gOptimize_Exif);
}

void TFm_Main::SelectedEntries(int& first, int& last) const {
    const TGridSelection& s = BatchCore->Selection();
    const int count = static_cast<int>(BatchCore->FileList().size());
    first = s.Top - 1;
    last = std::min(s.Bottom, count) - 1;
}

void TFm_Main::OpenDocument(const std::string& Path) { Services.Shell->OpenWithAssociatedProgram(Path); }

void TFm_Main::mnu_PreImageClick() {
    if (BatchCore->Selection().Top <= 0) return;
    int first, last;
    SelectedEntries(first, last);
    for (int i = first; i <= last; ++i) OpenDocument(BatchCore->FileList()[static_cast<std::size_t>(i)].SourcePath);
}

void TFm_Main::mnu_PostImageClick() {
    if (BatchCore->Selection().Top <= 0) return;
    int first, last;
    SelectedEntries(first, last);
    for (int i = first; i <= last; ++i) {
        const TFileEntry& e = BatchCore->FileList()[static_cast<std::size_t>(i)];
        if (e.SizeAfter != -1) OpenDocument(e.ResultPath);
    }
}

void TFm_Main::GridDblClick() {
    if (BatchCore->Selection().Top <= 0) return;
    int first, last;
    SelectedEntries(first, last);
    // The newest version of each selected file.
    for (int i = first; i <= last; ++i) {
        const TFileEntry& e = BatchCore->FileList()[static_cast<std::size_t>(i)];
        OpenDocument(e.SizeAfter == -1 ? e.SourcePath : e.ResultPath);
    }
}

void TFm_Main::PopupMenuPopup() {
    const TPopupState st = BatchCore->PopupState();
    mnu_PreImage->setEnabled(st.ShowSource);
    mnu_PostImage->setEnabled(st.ShowResult);
    mnu_DeleteList->setEnabled(st.Remove);
}

void TFm_Main::GridMouseDown(int Row) {
    if (Row <= 0) return;  // no cell, or the header row: the selection stays
    const TGridSelection& s = BatchCore->Selection();
    if (s.Top > 0 && s.Top <= Row && Row <= s.Bottom) return;  // acts on the whole selection
    const TGridSelection one{0, Row, gcCount - 1, Row};
    SetGridSelection(one);
    BatchCore->GridSelectCell(one);
}

void TFm_Main::GridSelectCell() { BatchCore->GridSelectCell(CurrentSelection()); }

void TFm_Main::TimerTimer() {
    Timer->stop();  // acts once
    // A failed load is told now that the window is up; start-up went on.
    for (const std::string& m : LoadErrors)
        Services.Dialogs->ShowMessage(TMessageBox{m, "エラー", TMsgIcon::Error, TMsgButtons::Ok});
    Guarded([this] { BatchCore->TimerTimer(Services.Arguments); });
}

// ---------------------------------------------------------------- drop

void TFm_Main::dragEnterEvent(QDragEnterEvent* e) {
    if (AcceptDrops && !DroppedPaths(e->mimeData()).empty()) e->acceptProposedAction();
    else e->ignore();
}

void TFm_Main::dragMoveEvent(QDragMoveEvent* e) {
    if (AcceptDrops) e->acceptProposedAction();
    else e->ignore();
}

void TFm_Main::dropEvent(QDropEvent* e) {
    if (!AcceptDrops) {
        e->ignore();
        return;
    }
    std::vector<std::string> paths = DroppedPaths(e->mimeData());
    e->acceptProposedAction();
    // The drop is released first; the files are taken (and a run perhaps
    // started) once the drag source has been told that the drop is over.
    QMetaObject::invokeMethod(this, [this, paths = std::move(paths)] { DropPaths(paths); }, Qt::QueuedConnection);
}

void TFm_Main::DropPaths(const std::vector<std::string>& Paths) {
    if (!AcceptDrops || Paths.empty()) return;
    Guarded([&] { BatchCore->WMDropFiles(Paths); });
}

// ---------------------------------------------------------------- keys and close

bool TFm_Main::eventFilter(QObject* watched, QEvent* e) {
    if (e->type() == QEvent::KeyPress) {
        auto* w = qobject_cast<QWidget*>(watched);
        auto* k = static_cast<QKeyEvent*>(e);
        // A key press travels from the focused control up to the window and
        // passes this filter at every step; it is acted on at the first. The
        // key code tells a new press (Ctrl, then A) that reuses the address.
        if (w && w->window() == this && (e != KeyInFlight || k->key() != KeyInFlightCode)) {
            KeyInFlight = e;
            KeyInFlightCode = k->key();
            if (k->key() == Qt::Key_A && (k->modifiers() & Qt::ControlModifier)) FormKeyDown();
        }
    } else if (e->type() == QEvent::KeyRelease) {
        KeyInFlight = nullptr;
    } else if (e->type() == QEvent::Resize && watched == Grid->viewport()) {
        // A vertical scroll bar that comes or goes changes the client width.
        if (!Grid->isHidden()) QMetaObject::invokeMethod(this, [this] { FormResize(); }, Qt::QueuedConnection);
    }
    return QMainWindow::eventFilter(watched, e);
}

void TFm_Main::FormKeyDown() {
    // Ctrl+A while the grid is shown selects every data row.
    if (Grid->isHidden() || BatchCore->FileList().empty()) return;
    BatchCore->SelectAll();
    RepaintGrid();
}

void TFm_Main::closeEvent(QCloseEvent* e) {
    // A close request is never refused: a run in progress stops after the file
    // in hand, as on the stop command, and the settings are saved now.
    BatchCore->FormCloseQuery();
    FormClose();
    e->accept();
}

void TFm_Main::FormClose() {
    if (Closed) return;  // saved once per process
    Closed = true;
    for (const std::string& m : Services.Settings.Save(Settings, CurrentGeometry()))
        Services.Dialogs->ShowMessage(TMessageBox{m, "エラー", TMsgIcon::Error, TMsgButtons::Ok});
}

} // namespace lumaro::ui
