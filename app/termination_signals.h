// SIGINT and SIGTERM close the main window exactly as its close box does, so the settings are saved
// and the devices closed in order before the program exits with status 0.
#pragma once

class QWidget;

namespace sondeco {

void closeOnTerminationSignals(QWidget* mainWindow);

}  // namespace sondeco
