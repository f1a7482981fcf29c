#pragma once
// The stage the table of screens plays on: one run of the scale on its own desktop and the
// hands that work it (the ECR, the board, the operator's mouse and keys, kestrin), and what
// the settings and the templates ask of each text the windows show.

#include <QColor>
#include <QPoint>
#include <QRect>
#include <QString>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tests/desktop/desktop_support.h"
#include "tests/desktop/screen_table.h"

namespace tarvelo::test {

inline const QColor kTeal{0, 148, 108}, kAmber{248, 204, 0}, kBlack{0, 0, 0}, kWhite{255, 255, 255};
inline const QString kEuro = QString(QChar(0x20AC));
inline constexpr Qt::Alignment kRight = Qt::AlignRight | Qt::AlignVCenter;
inline constexpr Qt::Alignment kLeft = Qt::AlignLeft | Qt::AlignVCenter;
inline constexpr Qt::Alignment kCentre = Qt::AlignCenter;
// The small windows' statics wrap their words and keep them at the top.
inline constexpr Qt::Alignment kTop = Qt::AlignHCenter | Qt::AlignTop;

// Where the settings put a window.
QRect window_place(const std::string& ini, const char* section);

// What the settings and the templates ask of each text of the display windows.
struct Asked {
    std::string ini;
    QColor colour(const char* section) const;  // font_color
    // font_name at font_size tenths of a point (9 points at least), in font_color.
    Text value(const char* section, const QString& text, Qt::Alignment align = kRight) const;
    // Units, captions and the two indicators: "Arial Bold" 9, in font_color.
    Text caption(const char* section, const QString& text, Qt::Alignment align = kRight) const;
};

// The brand label, teal in both display windows.
Text brand();
// The customer window's fixed look over its built-in bitmaps: values amber on black, the
// price black on amber, the indicators black on amber.
Text fixed_value(const QString& t);
Text fixed_total(const QString& t);
Text fixed_article(const QString& t);
Text fixed_mark(const QString& t);
// The bitmaps' own captions over the three value cells, and their places.
Text bitmap_caption(const QString& t);
inline const QRect kTareCaption{2, 34, 80, 18}, kWeightCaption{87, 34, 80, 18},
    kUnitPriceCaption{172, 34, 80, 18};

// A message box: its text, and its icon (a red disc for an error, a white bubble for
// information).
std::vector<Look> box(const QString& text, bool error = true);

// The scale's identity as `tarvelo --version` prints it ("CHECKSUM" -> "F93B5F7A"): what the
// version window shows.
std::map<std::string, std::string> identity();

class Stage {
  public:
    Stage(const std::vector<QRect>& monitors, bool tray, const std::vector<Setting>& settings,
          const std::vector<std::string>& board_lines);

    void ready();
    // One request of the ECR (ecrctl's words), answered positively.
    void ecr(const std::vector<std::string>& request);
    void board(const std::string& line) { s.board(line); }
    // A click on a control of the shown window of that class.
    void click(const char* cls, const char* id);
    // The shown message box answered with its button, and gone (or another one shown).
    void answer_box();
    // Text typed into a control of the shown window, over what it held.
    void type_into(const char* cls, const char* id, const std::string& text);
    void start_kestrin();
    void stop_kestrin();
    QPoint tray_icon();
    // Dumps until `done` holds (20 s at most); the last dump either way.
    Dump wait_for(const std::function<bool(const Dump&)>& done);
    static bool shown(const Dump& d, const char* cls);

    XSession x;
    ScaleRun s;
    ScreenTable table;
    Asked asked;
    Win bar, customer;
    std::unique_ptr<KestrinRun> kestrin;
};

// The boot windows reach the screen before the colour test leaves it: were the colour test's
// windows closed first, the bare desktop would show between the two.
Look boot_covers_before_the_colour_test_closes(Probe& probe);

}  // namespace tarvelo::test
