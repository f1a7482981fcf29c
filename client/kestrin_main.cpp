// kestrin: a small ECR test client for the scale's pipe protocol.

#include <QApplication>
#include <QMessageBox>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "client/kestrin_dialog.h"

namespace {

// Every box of the client has the error icon and one OK button; on a platform without a
// screen the text goes to standard error only.
void show_message(const std::string& text) {
    std::fprintf(stderr, "%s\n", text.c_str());
    std::fflush(stderr);
    const QString platform = QGuiApplication::platformName();
    if (platform == "offscreen" || platform == "minimal") return;
    QMessageBox::critical(nullptr, "kestrin", QString::fromStdString(text));
}

constexpr const char* kUsage = "Usage: kestrin [--version] [--help]";

// --help and --version; every other argument is refused, so that none is taken for one of Qt's
// own options. Returns the exit code, or -1 to run the dialog.
int read_command_line(int argc, char** argv) {
    if (argc < 2) return -1;
    bool help = false, version = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            help = true;
        } else if (std::strcmp(argv[i], "--version") == 0) {
            version = true;
        } else {
            std::fprintf(stderr, "kestrin: unknown argument '%s'\n%s\n", argv[i], kUsage);
            return 2;
        }
    }
    if (help)
        std::printf(
            "%s\n\n"
            "The ECR test client: a dialog that opens the scale's ECR pipe %s (a Unix-domain\n"
            "socket in $XDG_RUNTIME_DIR when that is an absolute path to the user's private\n"
            "directory, else in /tmp/tarvelo-UID/), runs the CS/KW handshake with the CS typed "
            "into it and reads\n"
            "the scale data on \"Read\". F1 opens the About box.\n\n"
            "  --version   print the version and exit\n"
            "  --help      print this text and exit\n\n"
            "Environment: XDG_RUNTIME_DIR (above); QT_QPA_PLATFORM, the windows' platform;\n"
            "QT_ENABLE_HIGHDPI_SCALING, 0 unless set (the dialog keeps its pixels on a scaled\n"
            "desktop).\n",
            kUsage, kestrin::kDefaultPipeName);
    else if (version)
        std::printf("kestrin %s\n", TARVELO_VERSION);
    return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
}

}  // namespace

class CkestrinApp {
  public:
    int InitInstance(char** argv) {
        // Qt sees the program's name only: the command line has been read already.
        int app_argc = 1;
        char* app_argv[] = {argv[0], nullptr};
        // The dialog is laid out in pixels for 96 dpi; a desktop scaled to 150 % would stretch
        // it by half. A scaling the user asks for explicitly still holds.
        ::setenv("QT_ENABLE_HIGHDPI_SCALING", "0", 0);
        QApplication app(app_argc, app_argv);
        kestrin::CkestrinDlg dlg(nullptr, show_message);
        dlg.show();
        dlg.OnInitDialog(kestrin::kDefaultPipeName);
        dlg.exec();
        return 0;
    }
};

int main(int argc, char** argv) {
    if (int code = read_command_line(argc, argv); code >= 0) return code;
    return CkestrinApp().InitInstance(argv);
}
