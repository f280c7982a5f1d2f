// The program as a person runs it who presses "Download Now" as soon as the window is up: for
// the tests that must kill the program itself in the middle of a download. Nothing of it goes
// into the product; the program's own code runs unchanged.
#include "ui/ui.h"

namespace {

constexpr uint32_t PRESS_TIMER = 1;

LRESULT pressProc(HWND window, uint32_t message, WPARAM, LPARAM)
{
    if (message == WM_TIMER && ui.hwndToolbar != nullptr) {
        Win_KillTimer(window, PRESS_TIMER);
        MQUI_ToolbarProc(ui.hwndToolbar, WM_COMMAND, IDC_DOWNLOAD_NOW, 0);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (!Win_Init(&argc, argv))
        return 1;
    const WinMainTemplate presser = {"Moonfetch test presser", "", "", nullptr, 0, nullptr, 0, pressProc};
    Win_SetTimer(Win_CreateMainWindow(presser), PRESS_TIMER, 300);
    return MQUI_Main(argc, argv);
}
