// The tool's one pass from start to exit: find the one blaster, show its
// description, take a unit key, write the unit's description into the EEPROM,
// have the device re-enumerated and wait for a last key.
#ifndef ZUV_RENAME_RUN_H
#define ZUV_RENAME_RUN_H

// Performs the whole dialogue on the console. Every failure is told by one
// message and ends at the closing prompt; the device is closed on every path
// that opened it.
void RunRename();

#endif
