// Runs the built tool as a person would: in a pseudo-terminal of its own (or
// with no terminal at all), against a bus file, and reads what it shows.
#ifndef ZUV_TESTS_TOOL_SESSION_H
#define ZUV_TESTS_TOOL_SESSION_H

#include <string>
#include <sys/types.h>
#include <termios.h>

struct ToolOptions {
    std::string busPath;    // FTD2XX_SIM_BUS; empty leaves it unset
    std::string logPath;    // FTD2XX_SIM_LOG; empty leaves it unset
    bool terminal = true;   // false: a new session without a controlling terminal
    std::string stdoutPath; // standard output to this file; empty: the terminal (or a pipe)
    bool stdinFromPipe = false;
    std::string stdinText; // written to that pipe, which is then closed
};

struct ToolSession {
    pid_t pid = -1;
    int master = -1;   // the terminal's master side, or the output pipe without a terminal
    int slave = -1;    // kept open to read the terminal's mode after the run
    std::string shown; // every byte read so far
    std::string stderrPath;
    struct termios modeBefore;
};

// Starts the tool; false (with a reason in *why) if it could not be started.
bool StartTool(const ToolOptions& options, ToolSession* session, std::string* why);

// Reads until what was shown ends with suffix; false after timeoutMs.
bool WaitForShown(ToolSession* session, const std::string& suffix, int timeoutMs = 5000);

// Waits until the tool has put its terminal in raw mode for a key read.
bool WaitForRawMode(ToolSession* session, int timeoutMs = 5000);

void SendKeys(ToolSession* session, const std::string& bytes);

// True when the tool is still running after waiting ms milliseconds.
bool StillRunningAfter(ToolSession* session, int ms);

// Waits for the tool to end and reads what remains; false after timeoutMs
// (the tool is then killed). *status is the raw wait status.
bool WaitForExit(ToolSession* session, int* status, int timeoutMs = 5000);

// True when the terminal's mode now equals the mode before the run; *diff names what differs.
bool TerminalModeRestored(const ToolSession& session, std::string* diff);

// Releases the session's descriptors and kills the tool if it still runs.
void EndSession(ToolSession* session);

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& text);
// "\n" as a terminal with output processing shows it.
std::string Crlf(const std::string& text);
// Bytes with the unprintable ones as \xNN, for messages.
std::string Printable(const std::string& bytes);

#endif
