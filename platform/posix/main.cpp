// The host program's entry: the C runtime's main hands over to FilterMain.
#include <signal.h>

#include "filter/filter_main.h"

int main(void)
{
    // A write to a pipe without a reader must fail with a code, as on
    // Windows, not kill the process before it can report and close.
    signal(SIGPIPE, SIG_IGN);
    FilterMain();
}
