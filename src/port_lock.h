// Exclusive access to a POSIX serial device decided before it is opened,
// through the FHS lock file that other Unix serial programs honour:
// /var/lock/LCK..<device>, holding its owner's process id as ten characters
// and a newline. Opening a tty raises DTR and RTS on Linux, even for an open
// that is about to be refused, so the lock has to come first.
#ifndef KOVEX_PORT_LOCK_H
#define KOVEX_PORT_LOCK_H

// Takes the lock for the device at path. Returns 0 when the lock is ours or
// when there is no lock to be had (no usable lock directory): flock and
// TIOCEXCL still guard the open then. Returns -1 when a live process holds it.
int port_lock(const char *path);

// Whether the lock for the device at path is held by a live process (or by
// something we may not read), as port_lock would find it; takes nothing.
// Call it while no lock of ours is held.
bool port_lock_held(const char *path);

// Removes the lock taken by port_lock, if any; harmless otherwise.
void port_unlock();

#endif
