// Job 4 of the demo host: a changelog consumer.
#pragma once
#include <string>

#include "DemoReport.h"

namespace demo {

// Registers a changelog reader on the file system's first MDT, works on files
// in dir (a directory whose files that MDT holds), reads the records of that
// work as values, acknowledges them, shows the reader's index move and the
// acknowledged records vanish, and deregisters. False when a step failed
// (the report says which).
bool RunConsumer(Report& report, const std::string& fsName, const std::string& sshUser, const std::string& dir);

}  // namespace demo
