// The message boxes over the main window, and the opening of a document in the desktop's viewer:
// what any file of the interface may show or open, whatever it sits above.
//
// Contract:
// - User-interface thread only. A box is modal: it returns when the person closed it.
#pragma once

// "Error in Moonfetch", with the warning's sign.
void MQUI_ErrorBox(const char* text);
void MQUI_AttentionBox(const char* text);
void MQUI_OpenDocument(const char* path);
