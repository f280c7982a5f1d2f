// The handoff's transport: a running Moonfetch serves one local socket per data folder, and
// another process of the same user sends it one request and reads one answer (the frames of
// platform/handoff.h).
//
// Contract:
// - The socket lies in $XDG_RUNTIME_DIR when that folder is this user's alone (owned, mode
//   0700, not a link), else in the folder "run" of mode 0700 inside the person's data folder
//   (Plat_ProgramDataFolder), where no other user can make it first; named after the data
//   folder's absolute path. A path longer than a socket's name may be gives no socket at all.
// - Both ends check who is at the other: a connection whose peer runs as another user is
//   closed unanswered, and a sender sends nothing to a listener of another user (that is no
//   copy of ours: HANDOFF_NO_COPY).
// - Win_HandoffServe runs on the user-interface thread and answers from its event loop, one
//   request per connection; a frame that is too long or not of the request's shape, a request
//   that does not come whole within HANDOFF_REQUEST_DEADLINE_MS of the connection (idle ones
//   included) and one whose sender stopped waiting (Handoff_Expired) are closed unanswered.
//   At most HANDOFF_MAX_CONNECTIONS are open at once (later ones wait to be accepted), and their
//   unfinished frames hold at most HANDOFF_MAX_HELD_BYTES together (the connection that would
//   go beyond is closed). Out of descriptors, the socket keeps listening and accepts again a
//   moment later. Only the copy that holds the folder's instance lock serves: it replaces any
//   socket left behind by a copy that crashed.
// - Win_HandoffSend blocks its caller (no event loop runs meanwhile) for at most timeoutMs; it
//   needs no display and no toolkit started (one is started and ended for the call). The
//   request tells the copy when its sender stops waiting.
// - On Windows the "socket" is a message-only window of the user's session named after the
//   folder (Win_HandoffSocketPath gives that name), and the frames travel as WM_COPYDATA; a
//   sender sends nothing to a window whose process runs as another user.
#pragma once

#include "platform/handoff.h"

#include <functional>

constexpr int HANDOFF_OK = 0;
constexpr int HANDOFF_NO_COPY = 1;   // nobody listens for that folder
constexpr int HANDOFF_HUNG = 2;      // somebody listens, but no answer came in time
constexpr int HANDOFF_TOO_BIG = 3;   // the request does not fit one frame: nothing was sent

constexpr int HANDOFF_REQUEST_DEADLINE_MS = 3000;
constexpr size_t HANDOFF_MAX_CONNECTIONS = 16;
constexpr uint64_t HANDOFF_MAX_HELD_BYTES = HANDOFF_MAX_PAYLOAD + HANDOFF_MAX_PAYLOAD / 2;

// Sends one request to the copy running for `dataFolder`; fills *answer.
// Returns HANDOFF_OK, HANDOFF_NO_COPY (nobody of ours listens), HANDOFF_HUNG (no answer within
// timeoutMs) or HANDOFF_TOO_BIG.
int Win_HandoffSend(const char* dataFolder, const HandoffRequest& req, HandoffAnswer* answer, int timeoutMs);
// Serves requests on the UI thread for the process's lifetime; `onRequest` fills the answer.
// False when the socket could not be made.
bool Win_HandoffServe(const char* dataFolder, std::function<void(const HandoffRequest&, HandoffAnswer*)> onRequest);
// Stops serving and removes the socket; before the instance lock is given up, so that it never
// removes the socket of a copy started after it.
void Win_HandoffClose();
// The socket's path for dataFolder; empty when no private folder for it can be had.
std::string Win_HandoffSocketPath(const char* dataFolder);
