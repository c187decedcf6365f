// Whether another process has a serial device open. On Linux every open of
// a serial port raises DTR and RTS and shares one set of line settings with
// the holder, and most programs that hold a port announce it in no way (no
// lock file, no flock, no TIOCEXCL): such a holder has to be found before
// the open.
#ifndef KOVEX_PORT_HOLDERS_H
#define KOVEX_PORT_HOLDERS_H

// Returns -1 when another process that we may inspect has the terminal at
// path open, 0 otherwise: also when path is no terminal, and on systems that
// offer no way to look.
int port_holders_check(const char *path);

#endif
