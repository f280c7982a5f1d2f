#include "platform/program.h"
#include "ui/browser.h"
#include "ui/ui.h"

int main(int argc, char** argv)
{
    Plat_UseUtf8Arguments(&argc, &argv);
    Plat_UseParentConsole();
    const int browser = MQUI_BrowserCommand(argc, argv);
    return browser >= 0 ? browser : MQUI_Main(argc, argv);
}
