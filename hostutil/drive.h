// Drive numbers of the process's current directory (1 is A:, 0 none), shared by the document scan
// and the drive exports.
#pragma once
#include <stdint.h>

// The drive letter of the current directory, upper-cased, as a number; 0 when the platform call
// fails or the directory has no drive letter.
int32_t iGetCurrentDrive(void);
// Makes drive iDrive current (its own current directory becomes the process's); 1 on success,
// 0 when iDrive is outside 1..31 or the platform refuses.
int32_t iSetCurrentDrive(int32_t iDrive);
