// The terminal keyboard of the dialogs: "/dev/tty" (standard input when it
// cannot be opened) in cbreak mode, one byte per read, every keystroke fed to
// the global random pool with its timing.
//
// Cbreak mode is the terminal's settings as found with canonical input and
// echo off, VMIN 1 and VTIME 0; nothing else changes (signals, output
// processing). kbCbreak(0) enters it, kbNorm leaves it; every dialog that
// enters it leaves it on each of its exits.
//
// Signals while cbreak mode is in force (installed by kbCbreak, removed by
// kbNorm, all through sigaction):
//   - SIGINT and SIGTSTP run kbSig1: the terminal's settings as found are put
//     back, the signal's disposition becomes what it was before (SIGINT) or
//     the default (SIGTSTP), and the signal is raised again, so it takes its
//     usual effect. SIGINT is installed without SA_RESTART: the interrupted
//     read ends and the dialog ends as cancelled. SIGTSTP is installed with
//     SA_RESTART: after the stop the read goes on.
//   - SIGCONT (SA_RESTART) runs kbSig2: cbreak mode is applied again and the
//     SIGTSTP handler is installed again, so a second ^Z restores the
//     terminal as the first did.
// The thread that entered cbreak mode unblocks the three signals until it
// leaves; a handler that runs on another thread (one that had the signal
// unblocked, such as a signal relay thread) forwards the signal to that
// thread with pthread_kill, so the read there is interrupted and the
// terminal restored. A forwarded signal still pending when the thread leaves
// cbreak mode is sent on to the process.
//
// The descriptor is opened on first use and kept for the process, but a
// "/dev/tty" descriptor that is no longer the process's controlling terminal
// (the process detached from it since) is closed and opened again, which
// falls back to standard input.
//
// Thread safety: one keyboard session at a time per process. kbCbreak(0)
// waits until no other thread holds cbreak mode, and the thread then holds
// it until its kbNorm; the state is guarded by one mutex (kbMutex), and what
// the handlers read is written before they are installed. kbGet and kbFlush
// are for the thread that holds the session.
#ifndef OSTRAK_CLIENT_KEYBOARD_H_
#define OSTRAK_CLIENT_KEYBOARD_H_

// With flag 0: takes the keyboard session, opens the keyboard when needed,
// installs the handlers, and, when the terminal's settings can be read,
// applies cbreak mode (with TCSAFLUSH: typed-ahead input is dropped). When
// they cannot be read the mode stays as it is and input comes as the
// terminal delivers it. With a non-zero flag only the descriptor is set
// (standard input when none was chosen yet); nothing else happens.
void kbCbreak(int flag);

// Applies the settings as found (TCSAFLUSH) when they were read, leaves
// cbreak mode, puts SIGINT back to its earlier disposition and SIGCONT and
// SIGTSTP to their defaults, and gives the session back.
void kbNorm();

// One byte from the keyboard, 0-255, after adding it (as a signed character)
// and its timing to the global random pool; -1 at the end of input, on a
// failed read and when a signal without SA_RESTART (SIGINT) interrupted it.
int kbGet();

// With a non-zero wait, sleeps one second first; then drops pending input.
void kbFlush(int wait);

// The handlers described above, and kbAddSigs, which installs all three
// (remembering the current SIGINT disposition, unless it is one of ours).
void kbSig1(int sig);
void kbSig2(int sig);
void kbAddSigs();

// 0 when skip is non-zero; else "/dev/tty" opened with the given flags, 0
// when that fails. kbCloseKbd closes a descriptor other than 0. The rest of
// the layer does not use them.
int kbOpenKbd(int openFlags, int skip);
void kbCloseKbd(int fd);

#endif  // OSTRAK_CLIENT_KEYBOARD_H_
