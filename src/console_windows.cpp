// The console on Windows: the C runtime's own console reads. _getche and _getch
// take key presses from the console's input (CONIN$), whatever standard input
// is; key releases, lock and modifier keys are passed over; Ctrl-C is read as
// 3; a function, cursor or editing key gives two codes, 0 or 0xE0 and then its
// second code, which the next _getch or _getche returns at once without echo.
// Without a console both return EOF at once.
//
// Standard output stays in text mode, so each "\n" the tool prints is written
// as CR LF.
#include "console.h"

#include <conio.h>
#include <cstdio>

namespace {

int KeyCode(int runtimeCode) {
    return runtimeCode == EOF ? -1 : (runtimeCode & 0xFF);
}

} // namespace

int ReadKeyWithEcho() {
    std::fflush(stdout);
    return KeyCode(_getche());
}

int ReadKeyWithoutEcho() {
    std::fflush(stdout);
    return KeyCode(_getch());
}
