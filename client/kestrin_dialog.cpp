#include "client/kestrin_dialog.h"

#include <QAction>
#include <QCloseEvent>
#include <QStyle>
#include <cmath>
#include <cstdio>

namespace kestrin {
namespace {

// "MS Shell Dlg" 8: dialog units of 6 x 13 pixels per 4 x 8 units.
QRect dlu(int x, int y, int w, int h) {
    auto px = [](int v) { return static_cast<int>(std::lround(v * 6 / 4.0)); };
    auto py = [](int v) { return static_cast<int>(std::lround(v * 13 / 8.0)); };
    return QRect(px(x), py(y), px(w), py(h));
}

// Static controls put their text at the top of their rectangle, on one line here.
QLabel* label(QWidget* parent, const char* text, QRect place, Qt::Alignment align) {
    auto* l = new QLabel(text, parent);
    l->setGeometry(place);
    l->setAlignment(align | Qt::AlignTop);
    return l;
}

// The templates' fixed frame: caption and system menu, no resizing.
void fix_frame(QDialog* dialog, QSize size) {
    dialog->setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                           Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    dialog->setFixedSize(size);
}

}  // namespace

QFont dialog_font() {
    // "MS Shell Dlg" is a name the dialog templates use, not a font of this machine; left to
    // itself Qt falls back to a wider face and the longest texts are clipped. Map it to a face
    // whose metrics fit the 6 x 13 base units the rectangles were laid out with (characters
    // about 6 pixels wide, a line under 13). 8 points at 96 dpi are 11 pixels; pixels keep it
    // independent of the screen's dots per inch, as the dialog units are.
    QFont::insertSubstitutions("MS Shell Dlg", {"Liberation Sans", "Arial"});
    QFont font("MS Shell Dlg");
    font.setPixelSize(11);
    return font;
}

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle("About kestrin");
    setFont(dialog_font());
    fix_frame(this, dlu(0, 0, 170, 62).size());
    auto* icon = new QLabel(this);
    icon->setPixmap(style()->standardIcon(QStyle::SP_ComputerIcon).pixmap(32, 32));
    icon->setGeometry(dlu(14, 14, 21, 20));
    label(this, "kestrin, Version 1.0", dlu(42, 14, 114, 8), Qt::AlignLeft);
    auto* ok = new QPushButton("OK", this);
    ok->setGeometry(dlu(113, 41, 50, 14));
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}

CkestrinDlg::CkestrinDlg(std::unique_ptr<Link> link, ShowMessage show, QWidget* parent)
    : QDialog(parent), link_(std::move(link)), show_(std::move(show)) {
    setWindowTitle("kestrin");
    setWindowIcon(style()->standardIcon(QStyle::SP_ComputerIcon));
    setFont(dialog_font());
    fix_frame(this, dlu(0, 0, 321, 201).size());
    label(this, "Weight", dlu(31, 17, 39, 12), Qt::AlignRight);
    label(this, "Total Price", dlu(31, 39, 39, 12), Qt::AlignRight);
    weight_ = label(this, "0.000", dlu(106, 17, 39, 12), Qt::AlignRight);
    total_ = label(this, "0.00", dlu(102, 39, 39, 12), Qt::AlignRight);
    read_ = new QPushButton("Read", this);
    read_->setGeometry(dlu(23, 126, 64, 17));
    cs_ = new QLineEdit(this);
    cs_->setGeometry(dlu(99, 74, 41, 16));
    label(this, "CS (4 digit number)", dlu(21, 77, 64, 11), Qt::AlignLeft);
    connect(read_, &QPushButton::clicked, this, &CkestrinDlg::on_read);
    // The template's control ids, for tools that look at the window from outside.
    weight_->setObjectName("1003");
    total_->setObjectName("1002");
    read_->setObjectName("1000");
    cs_->setObjectName("1001");

    // The system menu's entry: in the context menu, and on F1, which no control of the window
    // takes for itself (Ctrl+A would select the CS field's text).
    about_ = new QAction("&About kestrin...", this);
    about_->setShortcut(QKeySequence(Qt::Key_F1));
    about_->setShortcutContext(Qt::WindowShortcut);
    connect(about_, &QAction::triggered, this, &CkestrinDlg::show_about);
    addAction(about_);
    setContextMenuPolicy(Qt::ActionsContextMenu);
}

void CkestrinDlg::show_about() {
    CAboutDlg about(this);
    about.exec();
}

void CkestrinDlg::set_link(std::unique_ptr<Link> link) {
    link_ = std::move(link);
}

void CkestrinDlg::OnInitDialog(const std::string& pipe_name) {
    std::string error;
    link_ = PipeLink::open(pipe_name, &error);
    if (!link_) {
        std::printf("open error:%s\n%s\n", error.c_str(), pipe_path(pipe_name).c_str());
        std::fflush(stdout);
        show_("open scale error");
    }
}

void CkestrinDlg::on_read() {
    // Characters, not bytes: "ééé" is three characters in six bytes.
    std::string cs = cs_->text().toStdString();
    if (text_characters(cs) < kCsCharacters) {
        show_("CS value must be 4 digits number");
        return;
    }
    Exchange exchange(link_.get(), show_);
    if (!exchange.read(first_characters(cs, kCsCharacters), reading_)) return;
    weight_->setText(QString::fromStdString(weight_display(reading_.weight)));
    total_->setText(
        QString::fromStdString(total_display(client_total(reading_.weight, reading_.unit_price))));
}

void CkestrinDlg::closeEvent(QCloseEvent* event) {
    link_.reset();
    QDialog::closeEvent(event);
}

}  // namespace kestrin
