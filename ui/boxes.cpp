#include "ui/boxes.h"

#include "ui/ui.h"

void MQUI_ErrorBox(const char* text)
{
    Win_MessageBox(ui.hwndMain, text, "Error in Moonfetch", MB_OK | MB_ICONEXCLAMATION);
}

void MQUI_AttentionBox(const char* text)
{
    Win_MessageBox(ui.hwndMain, text, "Attention", MB_OK);
}

void MQUI_OpenDocument(const char* path)
{
    Win_OpenDocument(path);
}
