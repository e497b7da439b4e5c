/*
 * The host calls the terminal and the headless driver share; each driver's
 * table points at these (see driver.h for what each does).
 */
#ifndef TOVIX_PLATFORM_DRIVER_HOST_H
#define TOVIX_PLATFORM_DRIVER_HOST_H

#include "driver/driver.h"

namespace tovix::host {
std::unique_ptr<WakeUp> MakeEventWakeUp();
int RunProgram(const std::vector<std::string>& argv);
const char* GetEnvironment(const char* name);
int OpenSocket(int family, int type, int protocol);
Clock::time_point Now();
} // namespace tovix::host

#endif
