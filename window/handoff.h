// The handoff's transport: a running Moonfetch serves one local socket per data folder, and
// another process of the same user sends it one request and reads one answer (the frames of
// platform/handoff.h).
//
// Contract:
// - The socket lies in $XDG_RUNTIME_DIR (else in a folder /tmp/moonfetch-<uid> of mode 0700
//   that this user owns), named after the data folder's absolute path; it is this user's alone
//   (mode 0700), and a connection whose peer runs as another user is closed unanswered.
// - Win_HandoffServe runs on the user-interface thread and answers from its event loop, one
//   request per connection; a frame that is too long or not of the request's shape is closed
//   unanswered. Only the copy that holds the folder's instance lock serves: it replaces any
//   socket left behind by a copy that crashed.
// - Win_HandoffSend blocks its caller (no event loop runs meanwhile) for at most timeoutMs; it
//   needs no display and no toolkit started (one is started and ended for the call).
// - On Windows the "socket" is a message-only window of the user's session named after the
//   folder (Win_HandoffSocketPath gives that name), and the frames travel as WM_COPYDATA.
#pragma once

#include "platform/handoff.h"

#include <functional>

constexpr int HANDOFF_OK = 0;
constexpr int HANDOFF_NO_COPY = 1;   // nobody listens for that folder
constexpr int HANDOFF_HUNG = 2;      // somebody listens, but no answer came in time

// Sends one request to the copy running for `dataFolder`; fills *answer.
// Returns HANDOFF_OK, HANDOFF_NO_COPY (nobody listens) or HANDOFF_HUNG (no answer within timeoutMs).
int Win_HandoffSend(const char* dataFolder, const HandoffRequest& req, HandoffAnswer* answer, int timeoutMs);
// Serves requests on the UI thread for the process's lifetime; `onRequest` fills the answer.
// False when the socket could not be made.
bool Win_HandoffServe(const char* dataFolder, std::function<void(const HandoffRequest&, HandoffAnswer*)> onRequest);
// Stops serving and removes the socket; before the instance lock is given up, so that it never
// removes the socket of a copy started after it.
void Win_HandoffClose();
// The socket's path for dataFolder; empty when no private folder for it can be had.
std::string Win_HandoffSocketPath(const char* dataFolder);
