// Job 4 of the demo host: a changelog consumer.
#pragma once
#include <chrono>
#include <string>

#include "DemoReport.h"

namespace demo {

// How long the demo waits for any one command (lctl, lfs, or lctl over ssh on
// a metadata server): a server in recovery or a network that drops packets
// ends the step with an error instead of hanging the host.
constexpr std::chrono::milliseconds kCommandLimit{30000};

// Registers a changelog reader on the file system's first MDT, works on files
// in dir (a directory whose files that MDT holds), reads the records of that
// work as values, acknowledges them, shows the reader's index move and the
// acknowledged records vanish, and deregisters. False when a step failed
// (the report says which).
bool RunConsumer(Report& report, const std::string& fsName, const std::string& sshUser, const std::string& dir);

}  // namespace demo
