// kovex: resets a device wired to a serial port by pulsing the port's RTS
// and DTR lines for a number of seconds.
#include "option_scanner.h"
#include "port_search.h"
#include "run.h"
#include "serial_port.h"
#include "version_identity.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

int32_t quiet = 0;
int32_t debug_level = 0;
int32_t verbose_level = 0;

static const char OPTION_STRING[] = "DRdp:qv";

[[noreturn]] static void usage()
{
    fputs("Usage: kovex [-dqv] [-D] [-R] [-p port] [delay]\n", stderr);
    exit(1);
}

// Settings and progress go out at once, so that a script reading them sees
// each step as it happens and in order with the error messages.
static void report(const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    vprintf(format, arguments);
    va_end(arguments);
    fflush(stdout);
}

int main(int argc, char *argv[])
{
    // Its result does not matter: without an identity the banner is blank.
    version_identity_load(identity_company, identity_copyright, identity_version,
                          identity_description);

    const char *port_name = "COM1";
    int32_t delay_seconds = 10;
    int line_selection = LINE_RTS;
    quiet = 0;
    debug_level = 0;
    verbose_level = 0;
    option_report = 0;  // a bad option gets the usage line and nothing else

    for (int letter; (letter = option_next(argc, argv, OPTION_STRING)) != -1;) {
        switch (letter) {
        case 'D': line_selection = LINE_DTR; break;
        case 'R': line_selection |= LINE_RTS; break;
        case 'd': debug_level++; break;
        case 'p': port_name = option_argument; break;
        case 'q': quiet = 1 - quiet; break;
        case 'v': verbose_level++; break;
        default: usage();
        }
    }

    if (quiet == 0)
        banner_print();

    // At most one positional word, the delay, and it must be the last. The
    // hold is counted in unsigned 32-bit milliseconds, which bounds it.
    if (option_index < argc) {
        delay_seconds = delay_convert(argv[option_index++]);
        if (delay_seconds < 0 || delay_seconds > DELAY_SECONDS_MAX)
            usage();
    }
    if (option_index != argc)
        usage();

    if (debug_level != 0)
        report("Port: '%s'\nDelay: %d seconds\n", port_name, delay_seconds);
    port_search_report = debug_level;
    const char *label = line_label(line_selection);

    if (port_open(port_name) < 0)
        return -1;
    // The "Dropping" phase asserts the lines and the "Raising" phase clears
    // them. A line that would not move still gets its clearing and the port
    // its close, but the run must not then claim success.
    if (verbose_level != 0)
        report("Dropping %s..\n", label);
    int lines_failed = lines_apply(line_selection, SETDTR, SETRTS);
    if (verbose_level != 0)
        report("Waiting (%d seconds)..\n", delay_seconds);
    // A port that went away during the hold has been let go: nothing is
    // left to clear.
    if (lines_hold(static_cast<uint32_t>(delay_seconds) * 1000u) != 0)
        return -1;
    if (verbose_level != 0)
        report("Raising %s..\n", label);
    lines_failed |= lines_apply(line_selection, CLRDTR, CLRRTS);
    lines_failed |= port_close();
    return lines_failed != 0 ? -1 : 0;
}
