#include "core/start.h"

#include "core/items.h"
#include "core/pending.h"
#include "core/workers.h"
#include "diag/trace.h"
#include "web/session.h"

int MOONQ_Start()
{
    List_Init(&pendingList);
    List_Init(&deletedList);
    List_Init(&requestList);
    Trace_Open("moonfch_log.txt");
    Trace_EnableLevels(TRACE_ALL);
    Trace_Print(TRACE_ALL, "Trace file for Moonfetch 1.2");
    if (Wire_Init() < 0) {
        MOONQ_Stop();
        return -1;
    }
    return 0;
}

void MOONQ_Stop()
{
    MOONQ_SuspendWorkers();
    MOONQ_FinishSaves();
    Trace_Close();
    MOONQ_FreeList(&deletedList);
    MOONQ_FreeList(&pendingList);
}
