// The whole life of the process: standard input to standard output as Base64
// lines, failures to standard error, and the exit code.
#ifndef B64FILTER_FILTER_MAIN_H
#define B64FILTER_FILTER_MAIN_H

#ifdef __cplusplus
extern "C"
#endif
    __attribute__((noreturn)) void
    FilterMain(void);

#endif
