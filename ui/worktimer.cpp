#include "ui/worktimer.h"

#include "ui/ui.h"

void MQUI_StartWorkTimer()
{
    if (ui.workTimerId != 0)
        return;
    ui.workTimerId = Win_SetTimer(ui.hwndMain, WORK_TIMER_ID, WORK_TIMER_MS);
    ui.workTimerHurried = false;
    MQUI_Refresh();
}

void MQUI_StopWorkTimer(HWND window)
{
    Win_KillTimer(window, ui.workTimerId);
    ui.workTimerId = 0;
    ui.workTimerHurried = false;
}

void MQUI_HurryWorkTimer(HWND window, bool hurry)
{
    if (ui.workTimerId == 0 || ui.workTimerHurried == hurry)
        return;
    Win_SetTimer(window, ui.workTimerId, hurry ? 0 : WORK_TIMER_MS);
    ui.workTimerHurried = hurry;
}
