// Every line the encoder and the decoder can write to standard error. Each ends in CR LF.
#ifndef B64FILTER_MESSAGES_H
#define B64FILTER_MESSAGES_H

// Arguments: the handle name below, then the error code.
#define MSG_GETSTDHANDLE "GetStdHandle(%s) returned error %lu\r\n"
#define MSG_READFILE "ReadFile() returned error %lu\r\n"
#define MSG_WRITEFILE "WriteFile() returned error %lu\r\n"
// Arguments: bytes written, then bytes the line holds.
#define MSG_SHORT_WRITE "WriteFile() failed, %lu of %lu characters written\r\n"
#define MSG_CLOSEHANDLE "CloseHandle() returned error %lu\r\n"
// The decoder's. Arguments: the line, then the column, each from 1: of the
// first byte that is not valid, or of the first character of the group
// that the input ends inside.
#define MSG_INVALID_INPUT "Invalid Base64 input at line %lu, column %lu\r\n"
#define MSG_ENDS_INSIDE_GROUP "Base64 input ends inside a group at line %lu, column %lu\r\n"

#define NAME_STD_OUTPUT_HANDLE "STD_OUTPUT_HANDLE"
#define NAME_STD_INPUT_HANDLE "STD_INPUT_HANDLE"

#endif
