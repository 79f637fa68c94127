// Line and passphrase input at the terminal keyboard (client/keyboard.h).
//
// The line editor reads one key at a time in cbreak mode:
//   CR or LF            ends the line (the count is returned, the text
//                       NUL-terminated);
//   BEL, BS or DEL      erase the last character (a bell at the line start);
//   ^U                  starts the line again (a carriage return goes to
//                       standard output);
//   ^D, end of input    cancel: -1 (the buffer is not terminated);
//   32-255 but DEL      stored while size - 1 characters fit; beyond that a
//                       bell, and the keys typed ahead are dropped;
//   other control keys  a bell.
// Bells go to the echo stream, or to standard error without one. Erased
// characters are zeroed in the buffer. A signal that ends the read (SIGINT)
// counts as a cancel.
//
// Thread safety: one line at a time per process (the keyboard session).
#ifndef OSTRAK_CLIENT_TTY_INPUT_H_
#define OSTRAK_CLIENT_TTY_INPUT_H_

#include <cstddef>
#include <cstdio>

// The number of characters read, or -1 when cancelled (or without a buffer).
// With an echo stream, typed characters and editing are echoed to it and it
// is flushed before each key is read.
int qoxTtyGetString(char* buffer, size_t size, FILE* echo);

// Prints "Enter pass phrase (type ^D to cancel): " to the stream, reads a
// line without echo, prints "\n"; the line reader's result.
int qoxTtyGetPass(FILE* stream, char* buffer, size_t size);

#endif  // OSTRAK_CLIENT_TTY_INPUT_H_
