// qvx32 as a system service: the systemd unit that -install writes and
// -remove deletes, status reports as sd_notify messages, and service errors
// in the system log.
#pragma once

#include <string>

#include "service/service_unit.h"

namespace qv {
struct Engine;
}

namespace qv::service {

inline constexpr const char* kServiceName = "Quorvane32Service";
inline constexpr const char* kDisplayName = "Quorvane32 Service";
inline constexpr const char* kProgramName = "QVX32";

enum class ServiceState { kStartPending, kRunning, kStopPending, kStopped };

// True when systemd started this process as a service.
bool startedByServiceManager();

// The value after "-NAME" (or "/NAME", any case) on the command line, or
// null when the option is absent or has no value.
const char* optionValue(int argc, char** argv, const char* name);

// Writes the unit for a service that runs as `user`, creating that user
// when it is missing and this is root, and hands the log and temp folders
// of the settings file to it.
void installService(const std::string& user, const SystemUsers& users);
void removeService();

// Reports a state to the service manager; nothing in console mode.
bool reportServiceStatus(ServiceState state);

// Writes "<service> error: <code>" and the text to the system log and
// records the code as the exit status; nothing in console mode.
void logServiceError(const char* text);
int lastRecordedError();

}  // namespace qv::service
