// Internet client: the process-wide session that every HTTP and FTP request runs in.
//
// Contract:
// - Inet_Open is called once, on the user-interface thread, before any worker exists; it
//   initialises the transfer library for the whole process. The session it returns lives until
//   the process ends and may then be read from any thread.
// - The session keeps the agent text that every request of it sends as its User-Agent, exactly.
// - Failure returns null and reports nothing.
#pragma once

struct InetSession;

// Opens the session with the agent text; null when the transfer library cannot start.
InetSession* Inet_Open(const char* agent);
// The agent text the session was opened with.
const char* Inet_Agent(const InetSession* session);
