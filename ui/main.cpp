#include "ui/ui.h"

int main(int argc, char** argv)
{
    return MQUI_Main(argc, argv);
}
