#pragma once
// The dialog framework of the scale's windows: a QDialog whose controls are built from a
// template table (id, kind, text, place in dialog units, alignment), looked up by id, shown,
// hidden, moved and relabelled. Each window answers per control id which font and colours it
// wants, as the system's colour requests did; `restyle()` applies the answers again.

#include <QColor>
#include <QDialog>
#include <QFont>
#include <QFontMetrics>
#include <QLabel>
#include <QPushButton>
#include <QRect>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace tarvelo::ui {

enum class ControlKind { label, button };
enum class Align { left, centre, right };

struct ControlTemplate {
    int id;
    ControlKind kind;
    const char* text;
    int x, y, w, h;  // dialog units
    Align align = Align::left;
    bool notify = false;  // a label that reports clicks
    bool visible = true;
};

// The font a template names and its dialog-unit base: "MS Sans Serif" 8 is 6 x 13 pixels per
// 4 x 8 units, "System" 10 is 8 x 16.
struct FontBase {
    int x, y;
    const char* face;
    int points;
};
constexpr FontBase kSansSerif8{6, 13, "MS Sans Serif", 8};
constexpr FontBase kSystem10{8, 16, "System", 10};

struct DialogTemplate {
    int id;
    int w, h;  // dialog units
    FontBase base;
    std::vector<ControlTemplate> controls;
    // The display windows' statics centre one line vertically; a plain static of the other
    // templates wraps its words and keeps its text at the top, as the framework draws it.
    bool statics_centre_vertically = false;
};

int dlu_x(int dlu, FontBase base);
int dlu_y(int dlu, FontBase base);

// The template's font as an installed face: the names are the framework's, not fonts of this
// machine. Sized in pixels so that its characters fill the base units the rectangles were laid
// out with, whatever the screen's dots per inch.
QFont template_font(FontBase base);

struct ControlStyle {
    std::optional<QFont> font;
    std::optional<QColor> text;
    std::optional<QColor> background;  // filled behind the text; none = transparent
};

// "Arial Bold" 18 -> a bold Arial of 18 points at 96 dpi (24 pixels), whatever the screen's.
QFont point_font(const QString& face, double points);

// Whether one line of text, drawn in `area` with `alignment` as a label draws it, stays
// inside: across by its laid-out line, down by its ink.
bool text_fits(const QFontMetrics& metrics, const QString& text, const QRect& area,
               Qt::Alignment alignment);
// A text too large for its control is drawn smaller, down to this many pixels.
constexpr int kSmallestFitPixels = 6;

class ClickLabel : public QLabel {
    Q_OBJECT
  public:
    using QLabel::QLabel;
  signals:
    void clicked();

  protected:
    void mousePressEvent(QMouseEvent* event) override;
};

class TemplateDialog : public QDialog {
    Q_OBJECT
  public:
    TemplateDialog(const DialogTemplate& tmpl, QWidget* parent = nullptr);

    QWidget* control(int id) const;
    QString text(int id) const;
    Q_INVOKABLE void set_text(int id, const QString& text);
    // Showing a control that the layout has hidden (its block has no width) leaves it hidden.
    void show_control(int id, bool show);
    bool control_visible(int id) const;  // its own flag, whether or not the window is shown
    void move_control(int id, const QRect& rect);
    // The layout's own moves: a control it hides stays hidden until it places it again.
    void layout_hide(int id);
    void layout_place(int id, const QRect& rect);
    // Hides the control and shows it again, so the window repaints behind its text.
    void refresh_control(int id);
    // A topmost frameless tool window (no taskbar button) at the given place.
    void place_topmost(int x, int y, int w, int h);
    void place_topmost_at(int x, int y);
    // Applies every control's style again (after a change of brush or look).
    void restyle();

  signals:
    void command(int id);

  protected:
    virtual ControlStyle control_style(int id) const;
    // The window's own background brush; none = nothing filled (a background image may be).
    virtual std::optional<QColor> window_brush() const { return std::nullopt; }
    virtual void on_command(int) {}

  private:
    // A one-line text wider or taller than its control gets a smaller font than the one
    // wanted, never a cut: a price or weight that shows only in part would be read as another
    // ("0,000" whose comma is cut reads "0.000").
    void fit_text(int id);

    DialogTemplate tmpl_;
    std::map<int, QWidget*> controls_;
    std::map<int, QFont> wanted_font_;
    std::set<int> hidden_by_layout_;
};

}  // namespace tarvelo::ui
