#pragma once
// The small windows around the display bar: boot and flash windows for each display, the
// version window, the pop-up windows (constructed only), and the calibration wizard's three
// steps.

#include <QColor>
#include <memory>

#include "ui/program.h"
#include "ui/template_dialog.h"

namespace tarvelo::ui {

// A window filled with one brush colour that the display thread may change.
class BrushDialog : public TemplateDialog {
    Q_OBJECT
  public:
    BrushDialog(const DialogTemplate& tmpl, QColor brush, QWidget* parent);
    void set_brush(QColor brush);
    QColor brush() const { return brush_; }

  protected:
    std::optional<QColor> window_brush() const override { return brush_; }

  private:
    QColor brush_;
};

class CDlg_flash : public BrushDialog {
    Q_OBJECT
  public:
    explicit CDlg_flash(QWidget* parent = nullptr);
};

class CDlg_flash2 : public BrushDialog {
    Q_OBJECT
  public:
    explicit CDlg_flash2(QWidget* parent = nullptr);
};

// A boot window covers a whole display, which may be narrower than its template: its message
// runs across the window's width and may take every line down to the Exit key (or the bottom),
// so that the longest failure text shows whole.
class BootDialog : public BrushDialog {
    Q_OBJECT
  public:
    using BrushDialog::BrushDialog;

  protected:
    void resizeEvent(QResizeEvent* event) override;
};

class CDlg_boot : public BootDialog {
    Q_OBJECT
  public:
    explicit CDlg_boot(QWidget* parent = nullptr);
    // Where "Exit" sends the close.
    void set_main_window(QWidget* main) { main_ = main; }

  protected:
    ControlStyle control_style(int id) const override;
    void on_command(int id) override;

  private:
    QWidget* main_ = nullptr;
};

class CDlg_boot2 : public BootDialog {
    Q_OBJECT
  public:
    explicit CDlg_boot2(QWidget* parent = nullptr);

  protected:
    ControlStyle control_style(int id) const override;
};

// The version window keeps the dialog's own face: only its four values are white on black.
class CDlg_ver : public TemplateDialog {
    Q_OBJECT
  public:
    explicit CDlg_ver(QWidget* parent = nullptr);

  protected:
    ControlStyle control_style(int id) const override;
    void on_command(int id) override;
};

// Constructed with the main window, never created as windows.
class CDlg_pop {
  public:
    int template_id() const { return 136; }
};
class CDlg_pop2 {
  public:
    int template_id() const { return 138; }
};

// The calibration wizard: each step calls the scale's calibration operation and shows the
// outcome in a message box.
class CDlg_calbS2 : public TemplateDialog {
    Q_OBJECT
  public:
    CDlg_calbS2(Program& program, QWidget* parent);

  protected:
    ControlStyle control_style(int id) const override;
    void on_command(int id) override;

  private:
    Program& program_;
};

class CDlg_calbS1 : public TemplateDialog {
    Q_OBJECT
  public:
    CDlg_calbS1(Program& program, QWidget* parent);
    CDlg_calbS2& step2() { return *step2_; }

  protected:
    ControlStyle control_style(int id) const override;
    void on_command(int id) override;

  private:
    Program& program_;
    CDlg_calbS2* step2_;
};

class CDlg_calbS0 : public TemplateDialog {
    Q_OBJECT
  public:
    CDlg_calbS0(Program& program, QWidget* parent);
    CDlg_calbS1& step1() { return *step1_; }

  protected:
    ControlStyle control_style(int id) const override;
    std::optional<QColor> window_brush() const override { return std::nullopt; }
    void on_command(int id) override;

  private:
    CDlg_calbS1* step1_;
};

// Every small window is a topmost tool window at (250, 150) of its template size, hidden.
void place_small_window(TemplateDialog& dialog);

}  // namespace tarvelo::ui
