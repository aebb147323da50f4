#include "tool_session.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <pty.h>
#include <sstream>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vector>

#ifndef ZUV_RENAME_PATH
#error "ZUV_RENAME_PATH names the tool under test"
#endif

namespace {

long NowMs() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

enum ReadResult { GotBytes, TimedOut, EndOfOutput };

// Reads what arrives within timeoutMs.
ReadResult ReadSome(ToolSession* session, int timeoutMs) {
    struct pollfd ready = {session->master, POLLIN, 0};
    int polled = poll(&ready, 1, timeoutMs);
    if (polled == 0) {
        return TimedOut;
    }
    if (polled < 0) {
        return errno == EINTR ? TimedOut : EndOfOutput;
    }
    char buffer[512];
    ssize_t got = read(session->master, buffer, sizeof buffer);
    if (got <= 0) {
        return EndOfOutput;
    }
    session->shown.append(buffer, static_cast<std::size_t>(got));
    return GotBytes;
}

bool EndsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

[[noreturn]] void ChildFail(const char* what) {
    std::fprintf(stderr, "tool session: %s: %s\n", what, std::strerror(errno));
    _exit(127);
}

} // namespace

bool StartTool(const ToolOptions& options, ToolSession* session, std::string* why) {
    char stderrTemplate[] = "/tmp/zuv-stderr-XXXXXX";
    int stderrFd = mkstemp(stderrTemplate);
    if (stderrFd < 0) {
        *why = "mkstemp failed";
        return false;
    }
    session->stderrPath = stderrTemplate;

    int outputPipe[2] = {-1, -1};
    if (options.terminal) {
        if (openpty(&session->master, &session->slave, nullptr, nullptr, nullptr) != 0) {
            *why = std::string("openpty: ") + std::strerror(errno);
            close(stderrFd);
            return false;
        }
        tcgetattr(session->slave, &session->modeBefore);
    } else if (pipe(outputPipe) != 0) {
        *why = "pipe failed";
        close(stderrFd);
        return false;
    }
    int inputPipe[2] = {-1, -1};
    if (options.stdinFromPipe && pipe(inputPipe) != 0) {
        *why = "pipe failed";
        return false;
    }

    // Everything the child needs is made before the fork.
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (std::strncmp(*entry, "FTD2XX_SIM_", 11) != 0) {
            environment.push_back(*entry);
        }
    }
    if (!options.busPath.empty()) {
        environment.push_back("FTD2XX_SIM_BUS=" + options.busPath);
    }
    if (!options.logPath.empty()) {
        environment.push_back("FTD2XX_SIM_LOG=" + options.logPath);
    }
    std::vector<char*> envp;
    for (std::string& entry : environment) {
        envp.push_back(&entry[0]);
    }
    envp.push_back(nullptr);
    char toolPath[] = ZUV_RENAME_PATH;
    char* argv[] = {toolPath, nullptr};

    pid_t pid = fork();
    if (pid < 0) {
        *why = "fork failed";
        return false;
    }
    if (pid == 0) {
        // The tool starts with default signal handling, whatever the test runner had.
        const int signals[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGPIPE};
        for (int number : signals) {
            signal(number, SIG_DFL);
        }
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        setsid();
        int input = -1;
        int output = -1;
        if (options.terminal) {
            if (ioctl(session->slave, TIOCSCTTY, 0) != 0) {
                ChildFail("TIOCSCTTY");
            }
            input = session->slave;
            output = session->slave;
        } else {
            input = open("/dev/null", O_RDONLY);
            output = outputPipe[1];
        }
        if (options.stdinFromPipe) {
            input = inputPipe[0];
        }
        if (!options.stdoutPath.empty()) {
            output = open(options.stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (output < 0) {
                ChildFail("stdout file");
            }
        }
        if (dup2(input, 0) < 0 || dup2(output, 1) < 0 || dup2(stderrFd, 2) < 0) {
            ChildFail("dup2");
        }
        for (int fd = 3; fd < 256; ++fd) {
            close(fd);
        }
        execve(toolPath, argv, envp.data());
        ChildFail("execve");
    }

    session->pid = pid;
    close(stderrFd);
    if (!options.terminal) {
        close(outputPipe[1]);
        session->master = outputPipe[0];
    }
    if (options.stdinFromPipe) {
        close(inputPipe[0]);
        if (!options.stdinText.empty()) {
            ssize_t written =
                write(inputPipe[1], options.stdinText.data(), options.stdinText.size());
            (void)written;
        }
        close(inputPipe[1]);
    }
    return true;
}

bool WaitForShown(ToolSession* session, const std::string& suffix, int timeoutMs) {
    long deadline = NowMs() + timeoutMs;
    while (!EndsWith(session->shown, suffix)) {
        long left = deadline - NowMs();
        if (left <= 0 || ReadSome(session, static_cast<int>(left)) == EndOfOutput) {
            return EndsWith(session->shown, suffix);
        }
    }
    return true;
}

bool WaitForRawMode(ToolSession* session, int timeoutMs) {
    long deadline = NowMs() + timeoutMs;
    while (NowMs() < deadline) {
        struct termios now;
        if (tcgetattr(session->slave, &now) == 0 && (now.c_lflag & ICANON) == 0) {
            return true;
        }
        ReadSome(session, 5);
    }
    return false;
}

void SendKeys(ToolSession* session, const std::string& bytes) {
    ssize_t written = write(session->master, bytes.data(), bytes.size());
    (void)written;
}

bool StillRunningAfter(ToolSession* session, int ms) {
    long deadline = NowMs() + ms;
    for (long left = ms; left > 0; left = deadline - NowMs()) {
        ReadSome(session, static_cast<int>(left < 20 ? left : 20));
        int status = 0;
        pid_t ended = waitpid(session->pid, &status, WNOHANG);
        if (ended == session->pid) {
            session->pid = -1;
            return false;
        }
    }
    return true;
}

bool WaitForExit(ToolSession* session, int* status, int timeoutMs) {
    long deadline = NowMs() + timeoutMs;
    while (session->pid > 0) {
        pid_t ended = waitpid(session->pid, status, WNOHANG);
        if (ended == session->pid) {
            session->pid = -1;
            break;
        }
        if (NowMs() > deadline) {
            kill(session->pid, SIGKILL);
            waitpid(session->pid, status, 0);
            session->pid = -1;
            return false;
        }
        ReadSome(session, 20);
    }
    // What the tool wrote before it ended is still in the terminal or pipe.
    while (ReadSome(session, 50) == GotBytes) {
    }
    return true;
}

bool TerminalModeRestored(const ToolSession& session, std::string* diff) {
    struct termios now;
    if (tcgetattr(session.slave, &now) != 0) {
        *diff = "no terminal";
        return false;
    }
    std::ostringstream out;
    const struct termios& before = session.modeBefore;
    if (now.c_iflag != before.c_iflag) {
        out << " c_iflag " << std::hex << before.c_iflag << " -> " << now.c_iflag;
    }
    if (now.c_oflag != before.c_oflag) {
        out << " c_oflag " << std::hex << before.c_oflag << " -> " << now.c_oflag;
    }
    if (now.c_cflag != before.c_cflag) {
        out << " c_cflag " << std::hex << before.c_cflag << " -> " << now.c_cflag;
    }
    if (now.c_lflag != before.c_lflag) {
        out << " c_lflag " << std::hex << before.c_lflag << " -> " << now.c_lflag;
    }
    for (int i = 0; i < NCCS; ++i) {
        if (now.c_cc[i] != before.c_cc[i]) {
            out << " c_cc[" << std::dec << i << "] " << int(before.c_cc[i]) << " -> "
                << int(now.c_cc[i]);
        }
    }
    *diff = out.str();
    return diff->empty();
}

void EndSession(ToolSession* session) {
    if (session->pid > 0) {
        kill(session->pid, SIGKILL);
        waitpid(session->pid, nullptr, 0);
        session->pid = -1;
    }
    if (session->master >= 0) {
        close(session->master);
    }
    if (session->slave >= 0) {
        close(session->slave);
    }
    session->master = session->slave = -1;
    if (!session->stderrPath.empty()) {
        unlink(session->stderrPath.c_str());
    }
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

std::string Crlf(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\n') {
            out += '\r';
        }
        out += c;
    }
    return out;
}

std::string Printable(const std::string& bytes) {
    std::string out;
    for (unsigned char c : bytes) {
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c < 0x20 || c >= 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}
