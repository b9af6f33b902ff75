// The host programs' entry: the C runtime's main hands over to the program's
// own entry, FilterMain, or the decoder's when built with
// B64_ENTRY=UnfilterMain (cmake/host.cmake builds this file once for each).
#include "filter/filter_main.h"
#include "platform/posix/posix_platform.h"
#include "unfilter/unfilter_main.h"

#ifndef B64_ENTRY
#define B64_ENTRY FilterMain
#endif

int main(void)
{
    IgnoreWriteSignals();
    B64_ENTRY();
}
