// Internet session: the one client session that all requests of the program share.
//
// Contract:
// - Wire_Init is called once, by the download core's start, on the user-interface thread and
//   before any worker thread exists. Afterwards the handle is only read, from any thread.
// - Wire_Init returns 0 when the session is open, ERR_CALL_FAILED (net/errors.h) when it could
//   not be opened; it writes no trace line and shows nothing.
#pragma once

struct InetSession;

// The agent text every request sends as its User-Agent.
constexpr const char* WIRE_AGENT = "Moonfetch/0.0";

int Wire_Init();
// The session handle; null until Wire_Init has succeeded.
InetSession* Wire_Session();
