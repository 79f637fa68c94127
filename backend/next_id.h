// Entry IDs handed out from the "NEXTID" file of the database directory.
//
// The file holds the next ID as "%ld\n". It is opened at the first request
// and kept open; every ID taken is written and flushed to the disk (fsync)
// before it is handed out, so an ID is never given twice after a crash.
// A failure sets a sticky flag for that file: every later request fails
// until the process restarts, rather than risk handing out an ID twice.
//
// Thread safety: any thread; the backend's nextIdMutex, then the file lock.
#ifndef OSTRAK_BACKEND_NEXT_ID_H_
#define OSTRAK_BACKEND_NEXT_ID_H_

#include "server/server_state.h"

// peek 0 takes the ID; non-zero only reads it. -1 on failure.
long next_id(Backend* be, int peek);
// Gives back the ID taken by the last next_id, when no other was taken since.
void next_id_return(Backend* be, long id);

#endif  // OSTRAK_BACKEND_NEXT_ID_H_
