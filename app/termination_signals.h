// SPDX-License-Identifier: GPL-3.0-or-later
// SIGINT, SIGTERM and SIGHUP (a closed terminal, a logout) end the program as the main window's close
// box does: a message box or modal dialog that is open is dismissed, the main window closes (so the
// settings are saved and the devices closed in order), and the program exits with status 0. This holds from the first line of main() on, also while
// the windows are still being built and a start-up message box waits for a click.
#pragma once

class QWidget;

namespace sondeco {

// Catches the three signals from now on; a signal is kept until the event loop can act on it. Needs no
// application object, so main() calls it before anything else. Calling it again is harmless.
void catchTerminationSignals();

// Acts on caught signals whenever an event loop runs (the program's, or a message box's): dismisses
// the open modal windows, then closes `mainWindow` if there is one. Needs the application object.
// Catches the signals too, if that has not been done. May be called again to name the main window once
// it exists; nullptr means there is none yet.
void closeOnTerminationSignals(QWidget* mainWindow);

// Whether a termination signal has come. After that nobody is there to click a message box away, so
// the program writes its messages to the standard error instead.
bool terminationRequested();

// Dismisses every modal window that is open, top first: message boxes and dialogs are rejected.
void dismissModalWindows();

}  // namespace sondeco
