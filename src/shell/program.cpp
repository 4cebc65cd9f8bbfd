#include "shell/program.h"

namespace {

// A changed status line is drawn by the next paint.
void repaint(void *context) {
    Program *program = static_cast<Program *>(context);
    HWND window = program->window.main_win;
    if (window) InvalidateRect(window, nullptr, FALSE);
}

}  // namespace

Program::Program() : camera(store, log, *this) { log.set_notice(repaint, this); }

Program::~Program() { log.set_notice(nullptr, nullptr); }

void Program::frame_ready() {
    // A frame the shutdown cut short is half made: neither shown nor counted.
    if (!process_frame(store, settings)) return;
    ++frames;
    draw();
}

void Program::draw() {
    picture shown;
    shown.pixels = store.camera_buffer;
    shown.width = store.camera_x_size;
    shown.height = store.camera_y_size;
    shown.info = &store.camera_buffer_info;
    shown.flipped = settings.fast_capture;
    screen.display(window, store.camera_buffer ? &shown : nullptr, fps.load(), log);
}
