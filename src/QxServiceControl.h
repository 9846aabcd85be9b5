// Stopping, starting and restarting the scanner's services, polling their state once a second
// through the clock interface, above the platform's service manager (OrvelPlatform/ServiceManager.h).
#pragma once

// True only when the service exists and runs.
bool isServiceRunning(const char* service);
// Stops a running service and waits until it has stopped; true also when it was stopped already.
bool stopService(const char* service);
// Starts a stopped service and waits until it runs. A running service is restarted, with the
// services that depend on it, when restart is asked; otherwise it is left and the result is false.
bool startService(const char* service, bool restart);
