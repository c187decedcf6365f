// Asks the C runtime's start-up code to expand wildcard words ("*", "?") in
// the command line into matching file names before main sees them.
extern "C" {
int _dowildcard = -1;  // NOLINT(bugprone-reserved-identifier): the runtime's name
}
