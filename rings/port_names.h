#pragma once
/* The names of the ports' links in the device folder: COM1 to COM99, as the driver
 * names them. Such a name is a file of the folder itself; anything else ("../x",
 * "COM5/..", "COM05") is never taken for a port's link.
 *
 * Plain C, shared by the driver (C++) and the preload library (C); no code to link. */

/* 1 for COM1..COM99, 0 otherwise. */
static inline int isPortName(const char* name) {
    if (name[0] != 'C' || name[1] != 'O' || name[2] != 'M' || name[3] < '1' || name[3] > '9')
        return 0;
    return name[4] == 0 || (name[4] >= '0' && name[4] <= '9' && name[5] == 0);
}
