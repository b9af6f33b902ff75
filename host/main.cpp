// The host programs' entry: the C runtime's main hands over to the program's
// own entry, FilterMain, or the decoder's when built with
// B64_ENTRY=UnfilterMain (cmake/host.cmake builds this file once for each,
// B64_PROGRAM naming the program).
#include "filter/filter_main.h"
#include "platform/posix/posix_platform.h"
#include "unfilter/unfilter_main.h"

#include <unistd.h>

#ifndef B64_ENTRY
#define B64_ENTRY FilterMain
#endif
#ifndef B64_PROGRAM
#define B64_PROGRAM "b64filter"
#endif

// Exit status for a command line the program does not take, as Linux tools give.
static const int kUsageStatus = 2;

int main(int argc, char **)
{
    IgnoreWriteSignals();
    // A file named as an argument would otherwise go unread while the
    // program took whatever standard input was (in a loop, the loop's own
    // input): the Linux program refuses, touching neither stream. (The
    // Windows images ignore their command line.)
    if (argc > 1) {
        static const char usage[] =
            B64_PROGRAM ": takes no arguments; usage: " B64_PROGRAM " < INPUT > OUTPUT\n";
        ssize_t ignored = write(STDERR_FILENO, usage, sizeof usage - 1);
        (void)ignored;
        return kUsageStatus;
    }
    B64_ENTRY();
}
