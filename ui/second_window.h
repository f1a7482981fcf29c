#pragma once
// The second display window: a copy of the bar for a customer monitor, with a band for the
// article text. Two looks: the percentage layout over a background file (any type but 1),
// and the fixed layout over the built-in bitmaps (type 1).

#include "config/settings.h"
#include "ui/background.h"
#include "ui/layout.h"
#include "ui/template_dialog.h"

namespace tarvelo::ui {

class CTarveloDlg2 : public TemplateDialog {
    Q_OBJECT
  public:
    CTarveloDlg2(const WindowSettings& window, const Settings& settings, QWidget* parent);

    void SetQuantityMode(int on);
    int quantity_mode() const { return quantity_mode_; }
    void LayoutByPercent();
    const WindowSettings& window_settings() const { return window_; }

  protected:
    ControlStyle control_style(int id) const override;
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;

  private:
    void layout();
    WindowSettings window_;
    Settings settings_;
    int quantity_mode_ = 0;
    BackgroundImage background_;
};

// The values' font of a display window's settings: font_name at font_size tenths of a point,
// never smaller than the captions above the values (9 points): a size of 1, 0 or below would
// draw nothing visible, and at 6 points the digits are too faint to read and a comma hardly
// tells from a point.
QFont value_font(const WindowSettings& window);
constexpr double kSmallestValuePoints = 9;
// "currency/unit" of the unit price caption: each symbol read on its own, as either may be
// UTF-8 or Windows-1252 (the default currency is the single byte 0x80).
QString unit_price_caption(const Settings& settings, const std::string& unit);

// The texts both display windows take from the settings at start-up.
void set_bar_texts(TemplateDialog& window, const Settings& settings, const std::string& checksum);
// The controls both windows change between weight mode (0) and quantity mode (1).
void set_mode_controls(TemplateDialog& window, const Settings& settings, int on);
// Moves or hides the controls as the layout says; never shows one.
void apply_layout(TemplateDialog& window, const std::vector<LayoutOp>& ops);

}  // namespace tarvelo::ui
