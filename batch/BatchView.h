#pragma once
// What the core needs from the main window. The Qt window implements it; tests
// record every call.
#include <string>

#include "FileEntry.h"

namespace lumaro {

// A menu item together with the tool button of the same role; the two are
// always enabled or disabled together.
enum class TCommand { FileOpen, FolderOpen, DoOperation, StopOperation, ListClear, Option };

class IBatchView {
public:
    virtual ~IBatchView() = default;

    // The status bar's single text.
    virtual void SetStatusText(const std::string& Text) = 0;
    virtual void SetCommandEnabled(TCommand Command, bool Enabled) = 0;

    // During a run the progress bar takes the status bar's place.
    virtual void SetProgressBarVisible(bool Visible) = 0;  // true: status bar hidden
    virtual void SetProgressMax(int Max) = 0;
    virtual void SetProgressPosition(int Position) = 0;

    // The grid: shown exactly while the list is not empty; RowCount includes
    // the header row.
    virtual void SetGridVisible(bool Visible) = 0;
    virtual void SetGridRowCount(int RowCount) = 0;
    virtual void SetGridSelection(const TGridSelection& Selection) = 0;
    // Scrolls so that Row is the first visible data row.
    virtual void SetGridTopRow(int Row) = 0;
    // How many data rows fit in the grid.
    virtual int VisibleDataRows() = 0;
    virtual void RepaintGrid() = 0;
    // A file of this name (last path component) was added: widen the name
    // column when needed and apply the full-path column's resize rule.
    virtual void FitColumnsForName(const std::string& FileName) = 0;

    // Acceptance of dropped files and folders.
    virtual void SetDropAccepted(bool Accepted) = 0;

    // Lets the window handle its pending events (repaints, the stop command, a
    // close request). Called after every file and at every progress report.
    virtual void ProcessEvents() = 0;
};

} // namespace lumaro
