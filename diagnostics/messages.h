// Every line the filter can write to standard error. Each ends in CR LF.
#ifndef B64FILTER_MESSAGES_H
#define B64FILTER_MESSAGES_H

// Arguments: the handle name below, then the error code.
#define MSG_GETSTDHANDLE "GetStdHandle(%s) returned error %lu\r\n"
#define MSG_READFILE "ReadFile() returned error %lu\r\n"
#define MSG_WRITEFILE "WriteFile() returned error %lu\r\n"
// Arguments: bytes written, then bytes the line holds.
#define MSG_SHORT_WRITE "WriteFile() failed, %lu of %lu characters written\r\n"
#define MSG_CLOSEHANDLE "CloseHandle() returned error %lu\r\n"

#define NAME_STD_OUTPUT_HANDLE "STD_OUTPUT_HANDLE"
#define NAME_STD_INPUT_HANDLE "STD_INPUT_HANDLE"

#endif
