#pragma once
// TFm_Main: the program's only working window. It shows the file list in the
// grid and forwards every command to the batch core, which reaches the window
// back through IBatchView.
#include <memory>
#include <string>
#include <vector>

#include <QMainWindow>

#include "BatchCore.h"
#include "SettingsBridge.h"

class QAction;
class QLabel;
class QMenu;
class QProgressBar;
class QTimer;
class QToolButton;

namespace lumaro::ui {

class TFileGrid;
class TFileGridModel;
class TFm_Help;
class TFm_Options;
class TFm_Warning;
class TQtDialogs;

// What the window is built on. Anything left null gets the real service.
struct TMainWindowServices {
    IDialogs* Dialogs = nullptr;
    IFileSystem* FileSystem = nullptr;
    IClock* Clock = nullptr;
    IShell* Shell = nullptr;
    TSettingsAccess Settings;              // empty functions: the default store
    std::vector<std::string> Arguments;    // command-line arguments 1 to n
    std::string ProgramFolder;             // where readme.txt lies ("" = beside the executable)
    // The folder picker of the options dialog (instruction text, preselected).
    std::function<std::optional<std::string>(const std::string&, const std::string&)> BrowseFolder;
};

class TFm_Main : public QMainWindow, public IBatchView {
    Q_OBJECT
public:
    explicit TFm_Main(TMainWindowServices services = {}, QWidget* parent = nullptr);
    ~TFm_Main() override;

    TBatchCore& Core() { return *BatchCore; }
    TSettings Settings;
    TWindowGeometry LoadedGeometry;     // as read from the store
    std::vector<std::string> LoadErrors;  // messages of a failed load

    // ---- controls, named as the window designs them
    QWidget* Panel;
    QToolButton *sbn_FileOpen, *sbn_FolderOpen, *sbn_DoOperation, *sbn_StopOperation, *sbn_ListClear, *sbn_Option;
    QLabel *Pnl_Code, *Pnl_Exif;
    QMenu *mnu_File, *mnu_Operation, *mnu_Help;
    QAction *mnu_FileOpen, *mnu_FolderOpen, *mnu_Exit;
    QAction *mnu_DoOperation, *mnu_StopOperation, *mnu_ListClear, *mnu_Option;
    QAction *mnu_Topic, *mnu_About;
    QMenu* PopupMenu;
    QAction *mnu_PreImage, *mnu_PostImage, *mnu_DeleteList;
    TFileGrid* Grid;
    TFileGridModel* GridModel;
    QLabel* StatusBar;
    QProgressBar* ProgressBar;
    QTimer* Timer;
    TFm_Help* Fm_Help;
    TFm_Options* Fm_Options;
    TFm_Warning* Fm_Warning;

    // ---- IBatchView
    void SetStatusText(const std::string& Text) override;
    void SetCommandEnabled(TCommand Command, bool Enabled) override;
    void SetProgressBarVisible(bool Visible) override;
    void SetProgressMax(int Max) override;
    void SetProgressPosition(int Position) override;
    void SetGridVisible(bool Visible) override;
    void SetGridRowCount(int RowCount) override;
    void SetGridSelection(const TGridSelection& Selection) override;
    void SetGridTopRow(int Row) override;
    int VisibleDataRows() override;
    void RepaintGrid() override;
    void FitColumnsForName(const std::string& FileName) override;
    void SetDropAccepted(bool Accepted) override;
    void ProcessEvents() override;

    // ---- handlers
    void mnu_FileOpenClick();
    void mnu_FolderOpenClick();
    void mnu_DoOperationClick();
    void mnu_StopOperationClick();
    void mnu_ListClearClick();
    void mnu_OptionClick();
    void mnu_TopicClick();
    void mnu_AboutClick();
    void mnu_ExitClick();
    void mnu_PreImageClick();
    void mnu_PostImageClick();
    void PopupMenuPopup();
    void GridMouseDown(int Row);
    void GridDblClick();
    void GridSelectCell();
    void TimerTimer();
    void FormResize();
    void FormKeyDown();  // Ctrl+A
    void ColourIndicators();
    // Adds the paths as a drop does.
    void DropPaths(const std::vector<std::string>& Paths);

    // Column 4 takes the rest of the client width, at least 128 pixels.
    void ApplyResizeRule();
    bool DropAccepted() const { return AcceptDrops; }
    // The grid selection as rows (top 0 = no data row).
    TGridSelection CurrentSelection() const;

protected:
    void closeEvent(QCloseEvent* e) override;
    void resizeEvent(QResizeEvent* e) override;
    void showEvent(QShowEvent* e) override;
    void dragEnterEvent(QDragEnterEvent* e) override;
    void dragMoveEvent(QDragMoveEvent* e) override;
    void dropEvent(QDropEvent* e) override;
    bool eventFilter(QObject* watched, QEvent* e) override;

private:
    void BuildMenus();
    void BuildToolBar();
    void BuildGrid(QWidget* body);
    void SizeColumns();
    void ApplyGeometry(const TWindowGeometry& g);
    static void KeepOnScreen(TWindowGeometry& g);
    TWindowGeometry CurrentGeometry() const;
    void FormClose();
    template <class F> void Guarded(F&& f);
    void OpenDocument(const std::string& Path);
    void SelectedEntries(int& first, int& last) const;

    TMainWindowServices Services;
    std::unique_ptr<TQtDialogs> QtDialogs;
    std::unique_ptr<IFileSystem> OwnFileSystem;
    std::unique_ptr<IClock> OwnClock;
    std::unique_ptr<IShell> OwnShell;
    std::unique_ptr<TBatchCore> BatchCore;
    bool AcceptDrops = true;
    bool SettingSelection = false;
    bool Closed = false;
    bool GeometryPending = true;
    const QEvent* KeyInFlight = nullptr;  // the key press being delivered
    int KeyInFlightCode = 0;
};

} // namespace lumaro::ui
