// The program's side of the browsers: the native messaging host that Moonfetch's extension
// starts, and the per-person manifests that tell each browser where that host is.
//
// Contract:
// - MQUI_BrowserCommand runs before anything of the program starts (no display, no lock, no
//   log): the host is a process of its own that hands the links to the copy of the data folder
//   (`--data-folder`), starting that copy when none runs.
// - The host ends when the browser closes its input, or after a frame it cannot read whole;
//   a closed output ends it too, never a signal.
#pragma once

// Runs the browser command that the arguments name (`--native-host`, or a browser starting its
// host, `--install-browser-hosts`, `--uninstall-browser-hosts`): its exit code, or -1 when the
// arguments name none.
int MQUI_BrowserCommand(int argc, char** argv);
