// The simulated driver loads its bus file once per process, so each test of the
// driver runs its calls in a child process of its own.
#ifndef ZUV_SIM_IN_CHILD_H
#define ZUV_SIM_IN_CHILD_H

#include <functional>
#include <string>

// Forks; the child sets FTD2XX_SIM_BUS and FTD2XX_SIM_LOG to bus and log (null
// leaves the variable unset), runs body and ends with exit(0), so the driver
// writes its exit line. Assertions failing in the child are recorded in this
// process at their file and line; a child that ends otherwise is a failure too.
// The test process itself must never call the driver, or children inherit it loaded.
void InChild(const char* bus, const char* log, const std::function<void()>& body);

// In the child: sends what the driver writes to stderr into the file at path.
void RedirectStderr(const std::string& path);

#endif
