// What the program needs of the system around its own process: the file it runs from, a copy of
// itself started apart from it, its standard streams and console, the bounded read of the links
// it is given, and the folder that keeps its data for the person.
//
// Contract:
// - Any thread may call, except Plat_UseUtf8Arguments, Plat_UseParentConsole and
//   Plat_PrepareStdioPipes, which run once at the start, before the arguments are read or
//   anything is read or written on the standard streams.
// - A program started apart shares nothing with this one: no open file, no pipe, no console,
//   no session or process group that ends with this one's.
// - Failures are returned as errno values (or false), never thrown.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// The descriptors of the standard input and output, for binary frames.
constexpr int PLAT_STDIN = 0;
constexpr int PLAT_STDOUT = 1;

// The absolute path of the running program's file; empty when it cannot be found.
std::string Plat_ProgramFile();
// Starts program with the arguments, detached from this process (see the contract); false when
// it could not be started. Nothing is waited for but the start itself.
bool Plat_StartDetached(const std::string& program, const std::vector<std::string>& arguments);
// Makes the standard input and output carry bytes unchanged, and a write to a closed pipe fail
// instead of ending the process.
void Plat_PrepareStdioPipes();
// Makes the program's arguments UTF-8, as the rest of the program reads them: on Windows they are
// taken again from the wide command line (the array then lives as long as the process); on
// Linux they are the bytes they came as.
void Plat_UseUtf8Arguments(int* argc, char*** argv);
// Where the system starts a windowed program without standard streams (Windows), the streams
// that were not redirected write to the console the program was started from, if any.
void Plat_UseParentConsole();
// Reads the whole file at path, or the standard input when path is null, into text: 0, or the
// errno of the failure; EISDIR for a folder, EFBIG as soon as more than limit bytes came,
// ENOMEM when the text cannot grow, EIO (or the system's own errno) when a read fails.
int Plat_ReadBounded(const char* path, size_t limit, std::string* text);
// One block of Plat_ReadBounded's read appended to text: 0, EFBIG when text grew past limit,
// ENOMEM when it could not grow.
int Plat_AppendBlock(std::string* text, const char* block, size_t length, size_t limit);
// The folder that keeps the program's data for this person: $XDG_DATA_HOME/moonfetch
// (~/.local/share/moonfetch) on Linux, %LOCALAPPDATA%\Moonfetch on Windows.
std::string Plat_ProgramDataFolder();
// How the help names that folder: as the system's documents write it, then its usual place on a
// line of its own (indented as the help's option texts are).
const char* Plat_DataFolderWords();
// Makes the folder path (its parent must exist) readable by this person alone; 0 when it was
// made or already exists, else the errno.
int Plat_MakePrivateFolder(const std::string& path);
