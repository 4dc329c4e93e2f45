/*
 * The C runtime's console keyboard functions. Standard input is the
 * keyboard: a terminal is switched to reading key by key, without echo, on
 * first use and restored when the process exits; a pipe or a file works as
 * it is. End of input is not a key.
 */
#ifndef FL_UM_CONIO_H
#define FL_UM_CONIO_H

#ifdef __cplusplus
extern "C" {
#endif

/* Nonzero when a key is waiting; the key stays waiting. */
int _kbhit(void);

/* The next key, waiting for one; not echoed. -1 (EOF) at end of input. */
int _getch(void);

#ifdef __cplusplus
}
#endif

#endif
