// The host program's entry: the C runtime's main hands over to FilterMain.
#include "filter/filter_main.h"
#include "platform/posix/posix_platform.h"

int main(void)
{
    IgnoreWriteSignals();
    FilterMain();
}
