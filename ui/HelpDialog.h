#pragma once
// TFm_Help: the About dialog with the program's icon, name and version.
#include <QDialog>

class QLabel;
class QPushButton;

namespace lumaro::ui {

class TFm_Help : public QDialog {
    Q_OBJECT
public:
    explicit TFm_Help(QWidget* parent = nullptr);

    QLabel* Image;
    QLabel* Lbl_01;
    QLabel* Lbl_02;
    QLabel* lbl_03;
    QPushButton* btn_close;

private slots:
    void btn_closeClick();
};

} // namespace lumaro::ui
