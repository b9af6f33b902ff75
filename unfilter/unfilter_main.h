// The whole life of the decoder's process: Base64 text on standard input to
// its bytes on standard output, failures to standard error, and the exit code.
#ifndef B64FILTER_UNFILTER_MAIN_H
#define B64FILTER_UNFILTER_MAIN_H

// extern "C" keeps the name unmangled: the decoder's image is linked with
// /entry:UnfilterMain, as the encoder's is with /entry:FilterMain.
#ifdef __cplusplus
extern "C"
#endif
    __attribute__((noreturn)) void
    UnfilterMain(void);

#endif
