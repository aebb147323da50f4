// The console as the rename run needs it: key presses read one at a time from
// the console itself (also when standard input is redirected), raw and without
// waiting for Enter. One implementation per platform, chosen by the build.
#ifndef ZUV_CONSOLE_H
#define ZUV_CONSOLE_H

// Flushes standard output, then waits for one key press on the console and
// returns its code (0..255), writing that byte back to the console untranslated.
// During the read the console's line editing, echo and signal keys are off, so
// Ctrl-C arrives as 3 and Enter as 13; afterwards its previous mode is restored.
// A key that sends several bytes counts as one press: its first code is returned
// (on the Windows console, the second code of a two-code key is returned by the
// next read of either kind). Returns -1 at once when there is no console, and
// -1 when the echo fails although a key was taken.
int ReadKeyWithEcho();

// As ReadKeyWithEcho, without the echo.
int ReadKeyWithoutEcho();

#endif
