// The one-instance lock: two copies of the program in one folder would share its pending list,
// its trace log and its placeholder files, and each would undo the other's work.
//
// Contract:
// - User-interface thread; taken once at start, before any data file is touched.
// - The lock is advisory, on its own file, and held until Plat_UnlockInstance or the end of the
//   process, whichever comes first; a crash or a kill releases it. Programs that this process
//   starts (the browser that opens a page) never inherit it.
// - A symbolic link at the lock file's name is never followed (its target is neither written
//   nor created): ELOOP. A lock file this user may read but not write (read-only, another
//   owner's) is locked all the same, opened for reading; only then is no process id written.
// - Failures are returned as errno values, never thrown.
#pragma once

// Takes the lock on the file at path, creating it, and writes this process's id into it.
// Returns 0 when held, EWOULDBLOCK when another process holds it, ELOOP when path is a
// symbolic link, or the errno of the step that failed (the lock is then not held, and nobody
// else holds it either as far as is known).
int Plat_LockInstance(const char* path);
// Gives the lock up; nothing when it is not held.
void Plat_UnlockInstance();
// Whether some process holds the lock at path now.
bool Plat_InstanceLocked(const char* path);
// The process id that the holder of the lock at path wrote into it; 0 when none can be read.
long Plat_LockHolder(const char* path);
