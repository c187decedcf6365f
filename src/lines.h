// The two control lines and what can be done to them: the words every port
// kind, local or remote, and the run share.
#ifndef KOVEX_LINES_H
#define KOVEX_LINES_H

// Bits of a line selection.
enum { LINE_RTS = 1, LINE_DTR = 2 };

// Line operations carry the values of Windows' EscapeCommFunction codes;
// <windows.h> defines the same names as macros with these values.
#ifndef SETRTS
#define SETRTS 3
#define CLRRTS 4
#define SETDTR 5
#define CLRDTR 6
#endif

#endif
