#include "platform/message_box.h"

#include <atomic>

#include "platform/error_line.h"

namespace tarvelo {
namespace {
StderrMessageBox g_stderr_box;
std::atomic<MessageBox*> g_box{&g_stderr_box};
}  // namespace

void StderrMessageBox::error(const std::string& text) {
    error_line(text);
}
void StderrMessageBox::info(const std::string& text) {
    error_line(text);
}

MessageBox& message_box() {
    return *g_box.load();
}
void set_message_box(MessageBox* box) {
    g_box = box ? box : &g_stderr_box;
}

}  // namespace tarvelo
