// The start and stop of the download core: above the items, the workers and the pending list,
// which it brings up and winds down in their order.
//
// Contract:
// - User-interface thread only; MOONQ_Stop follows a MOONQ_Start, once.
// - A failure to start is returned (-1) after everything already started is stopped again.
#pragma once

// Empties the lists, opens the trace log and the Internet session; 0, or -1 without a session.
int MOONQ_Start();
// Stops the workers, waits for the pending-list saves still being written, closes the trace log
// and frees every item, deleting the empty placeholder files.
void MOONQ_Stop();
