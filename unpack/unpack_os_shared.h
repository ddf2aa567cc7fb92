/*
 * unpack_os_shared.h - what varlix-unpack's two platform files,
 * unpack_os_posix.cc and unpack_os_win32.cc, share: the temporary files'
 * names, the creation sections that the interrupt clean-up waits out, and
 * the texts of the program's own errors. Defined in unpack_os.cc.
 */
#ifndef VARLIX_UNPACK_UNPACK_OS_SHARED_H
#define VARLIX_UNPACK_UNPACK_OS_SHARED_H

#include <string>

/* unpack_os_temp_name() - the temporary file name of @process's @slot, at its @attempt-th try. */
std::string unpack_os_temp_name(unsigned long process, unsigned slot, unsigned attempt);

/*
 * Workers create the temporary files while the interrupt handler runs
 * elsewhere (on the main thread on POSIX, on a thread of the system's on
 * Windows). A worker registers a name and creates its file inside a section
 * that the handler waits out, and no section starts once the handler has
 * begun: every file that exists is in the table when the handler sweeps it.
 * unpack_os_begin_creation() returns false, starting nothing, once the
 * handler has begun. Nothing here allocates, so the handler may call
 * unpack_os_wait_out_creations().
 */
bool unpack_os_begin_creation();
void unpack_os_end_creation();
void unpack_os_wait_out_creations();

/* unpack_os_own_error_text() - the text of a UNPACK_OS_ERR_* value. */
const char *unpack_os_own_error_text(int error);

#endif
