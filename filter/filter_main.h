// The whole life of the process: standard input to standard output as Base64
// lines, failures to standard error, and the exit code.
#ifndef B64FILTER_FILTER_MAIN_H
#define B64FILTER_FILTER_MAIN_H

// extern "C" keeps the name unmangled: the Windows image is linked with
// /entry:FilterMain, so the loader starts the process here, with no runtime
// library and no main in between.
#ifdef __cplusplus
extern "C"
#endif
    __attribute__((noreturn)) void
    FilterMain(void);

#endif
