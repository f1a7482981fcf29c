#pragma once
// kestrin's window: weight and total price, the CS field and "Read"; the About entry in the
// system menu (here: the window's context menu and F1, as desktops differ).

#include <QAction>
#include <QDialog>
#include <QFont>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <memory>

#include "client/exchange.h"
#include "client/pipe_link.h"

namespace kestrin {

// The templates' font, "MS Shell Dlg" 8, as a real face of this machine.
QFont dialog_font();

class CAboutDlg : public QDialog {
    Q_OBJECT
  public:
    explicit CAboutDlg(QWidget* parent = nullptr);
};

class CkestrinDlg : public QDialog {
    Q_OBJECT
  public:
    // `show` receives every message box text; `link` may be null (the pipe did not open).
    CkestrinDlg(std::unique_ptr<Link> link, ShowMessage show, QWidget* parent = nullptr);

    // Opens the pipe by name; on failure prints "open error" and shows "open scale error".
    void OnInitDialog(const std::string& pipe_name);
    void on_read();
    void set_link(std::unique_ptr<Link> link);

    QLineEdit* cs_field() const { return cs_; }
    QLabel* weight_label() const { return weight_; }
    QLabel* total_label() const { return total_; }
    QPushButton* read_button() const { return read_; }
    QAction* about_action() const { return about_; }
    void show_about();

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    std::unique_ptr<Link> link_;
    ShowMessage show_;
    Reading reading_;
    QLineEdit* cs_;
    QLabel* weight_;
    QLabel* total_;
    QPushButton* read_;
    QAction* about_ = nullptr;
};

}  // namespace kestrin
