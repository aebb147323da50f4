// The console on POSIX systems: keys come from the controlling terminal,
// /dev/tty, whatever standard input is.
#include "console.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

// How long the rest of a multi-byte key may take to follow its first byte.
// A terminal sends a key's bytes in one write, so they arrive together.
constexpr int KeyTailMilliseconds = 100;

// What the signal handler needs to put the terminal back during a read.
int gTerminal = -1;
struct termios gSavedMode;
volatile std::sig_atomic_t gModeChanged = 0;

// Signals that end the tool by default: if one arrives while the terminal is
// raw, the mode is restored before the tool ends as it would have anyway.
constexpr int RestoringSignals[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM};
constexpr int RestoringSignalCount = sizeof(RestoringSignals) / sizeof(RestoringSignals[0]);
struct sigaction gPreviousActions[RestoringSignalCount];
bool gHandlerInstalled[RestoringSignalCount];

void RestoreModeAndDie(int signalNumber) {
    if (gModeChanged) {
        tcsetattr(gTerminal, TCSANOW, &gSavedMode);
    }
    // SA_RESETHAND has put back the default action; it takes effect once this
    // handler returns and the re-raised signal is unblocked.
    raise(signalNumber);
}

void InstallRestoringHandlers() {
    for (int i = 0; i < RestoringSignalCount; ++i) {
        gHandlerInstalled[i] = false;
        if (sigaction(RestoringSignals[i], nullptr, &gPreviousActions[i]) != 0) {
            continue;
        }
        // A signal the tool was started with ignored (nohup) stays ignored.
        if (gPreviousActions[i].sa_handler == SIG_IGN) {
            continue;
        }
        struct sigaction action = {};
        action.sa_handler = RestoreModeAndDie;
        action.sa_flags = SA_RESETHAND;
        sigemptyset(&action.sa_mask);
        gHandlerInstalled[i] = sigaction(RestoringSignals[i], &action, nullptr) == 0;
    }
}

void RemoveRestoringHandlers() {
    for (int i = 0; i < RestoringSignalCount; ++i) {
        if (gHandlerInstalled[i]) {
            sigaction(RestoringSignals[i], &gPreviousActions[i], nullptr);
        }
    }
}

bool SetMode(int fd, const struct termios& mode) {
    while (tcsetattr(fd, TCSANOW, &mode) != 0) {
        if (errno != EINTR) {
            return false;
        }
    }
    return true;
}

// No line editing, no echo, no signal keys, no input translation; output
// processing is kept, so what the tool prints looks as it always does.
struct termios RawMode(const struct termios& saved) {
    struct termios raw = saved;
    raw.c_iflag &=
        ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON);
    raw.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    return raw;
}

// Reads one byte, waiting at most timeoutMs (or for ever when negative).
// Returns the byte, or -1 on timeout, end of input or error.
int ReadByte(int fd, int timeoutMs) {
    if (timeoutMs >= 0) {
        struct pollfd ready = {fd, POLLIN, 0};
        int polled;
        do {
            polled = poll(&ready, 1, timeoutMs);
        } while (polled < 0 && errno == EINTR);
        if (polled <= 0) {
            return -1;
        }
    }
    unsigned char byte = 0;
    ssize_t got;
    do {
        got = read(fd, &byte, 1);
    } while (got < 0 && errno == EINTR);
    return got == 1 ? byte : -1;
}

// Discards the bytes that follow the first byte of one key: the rest of an
// escape sequence (cursor, editing and function keys, Alt+key) or of a
// multi-byte UTF-8 character. A lone Escape is followed by nothing.
void DiscardRestOfKey(int fd, int first) {
    if (first == 0x1B) {
        int next = ReadByte(fd, KeyTailMilliseconds);
        if (next == 'O') {
            ReadByte(fd, KeyTailMilliseconds);
        } else if (next == '[') {
            int byte = ReadByte(fd, KeyTailMilliseconds);
            if (byte == '[') { // Linux console F1-F5: ESC [ [ A..E
                byte = ReadByte(fd, KeyTailMilliseconds);
            }
            // Parameter and intermediate bytes until the final byte 0x40..0x7E.
            for (int length = 0; byte >= 0x20 && byte < 0x40 && length < 32; ++length) {
                byte = ReadByte(fd, KeyTailMilliseconds);
            }
        }
        return;
    }
    int continuation = first >= 0xF0 && first <= 0xF4   ? 3
                       : first >= 0xE0 && first <= 0xEF ? 2
                       : first >= 0xC2 && first <= 0xDF ? 1
                                                        : 0;
    for (int i = 0; i < continuation; ++i) {
        if (ReadByte(fd, KeyTailMilliseconds) < 0) {
            return;
        }
    }
}

bool WriteByte(int fd, int code) {
    unsigned char byte = static_cast<unsigned char>(code);
    ssize_t written;
    do {
        written = write(fd, &byte, 1);
    } while (written < 0 && errno == EINTR);
    return written == 1;
}

int ReadKey(bool echo) {
    int fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        std::fflush(stdout);
        return -1;
    }
    struct termios saved;
    if (tcgetattr(fd, &saved) != 0) {
        std::fflush(stdout);
        close(fd);
        return -1;
    }

    gTerminal = fd;
    gSavedMode = saved;
    InstallRestoringHandlers();
    gModeChanged = 1;
    int code = -1;
    if (SetMode(fd, RawMode(saved))) {
        // Flushed only now, so that a key pressed as soon as the prompt shows
        // is already read raw rather than echoed by the terminal itself.
        std::fflush(stdout);
        code = ReadByte(fd, -1);
        if (code >= 0) {
            DiscardRestOfKey(fd, code);
        }
        if (code >= 0 && echo) {
            struct termios untranslated = RawMode(saved);
            untranslated.c_oflag &= ~static_cast<tcflag_t>(OPOST);
            if (!SetMode(fd, untranslated) || !WriteByte(fd, code)) {
                code = -1;
            }
        }
    } else {
        std::fflush(stdout);
    }
    SetMode(fd, saved);
    gModeChanged = 0;
    RemoveRestoringHandlers();
    gTerminal = -1;
    close(fd);
    return code;
}

} // namespace

int ReadKeyWithEcho() {
    return ReadKey(true);
}

int ReadKeyWithoutEcho() {
    return ReadKey(false);
}
