// File and directory services over POSIX.
//
// Handles are opaque pointer-sized values; 0 means no file.  Calls that open or create
// return 0 or a status code (below); reads and writes return the bytes moved (negative
// on failure); seeks return the new position (negative on failure).  np_fio_syserr
// gives the operating-system error of the last failure on a handle (0: of the last
// failure of this thread).
//
// Temporary files are created fresh and exclusively (mode 0600) as DIR/PREFIXxxxxxx;
// without a directory they go to $TMPDIR, else /tmp.  np_fio_bufmode(h, 1) puts a
// 256 KiB user-space buffer in front of the file so that many small reads and writes
// cost few system calls; mode 0 flushes it and takes it away.  A handle is used by one
// thread at a time.
//
// Compression: a host chooses a codec for the whole process (kNpCompressKey below) before
// temporary files are made; code that makes a temporary file that is only appended to
// marks it with np_fio_compress, and from then on its bytes go to the disk compressed in
// frames while every call sees the bytes as written (offsets, sizes, seeks and
// truncation unchanged; see npfio_pack.h).  Without a codec the mark changes nothing.
// Such a file opened again by its name (np_fio_open) is read through the same frames
// until np_fio_unlink removes the name.  Each open compressed file costs a frame of
// memory while written and each handle that reads one a frame more: 64 KiB with lz4,
// 128 KiB with a program.
#ifndef TQ_PLATFORM_NPFIO_H
#define TQ_PLATFORM_NPFIO_H

#include <cstdint>

typedef uintptr_t NpHandle;

enum : int {
  kNpOk = 0,
  kNpErrSystem = 1,     // see np_fio_syserr
  kNpErrName = 2,       // the name does not fit the caller's buffer
  kNpErrArgument = 3,   // a bad argument or handle
  kNpErrNoMemory = 12,  // no memory for a buffer or handle
};

// The separator between directories in a directory list.
extern const char np_dir_listsep[2];

int np_fio_tmpfile(const char* directory, const char* prefix, char* nameBuffer, int nameSize,
                   NpHandle* handle);
// Opens an existing file for reading and writing, positioned at its start.
int np_fio_open(const char* path, int mode, NpHandle* handle);
int np_fio_close(NpHandle handle);
int32_t np_fio_getb(NpHandle handle, void* buffer, int32_t count);
int32_t np_fio_putb(NpHandle handle, const void* buffer, int32_t count);
// whence: 0 from the start, 1 from the current position, 2 from the end.
int64_t np_fio_seek64(NpHandle handle, int64_t offset, int whence);
// The file ends at the current position.  Negative on failure.
int np_fio_trunc(NpHandle handle);
int np_fio_unlink(const char* path);
int np_fio_bufmode(NpHandle handle, int mode);

enum : int {
  kNpCodecNone = 0,
  kNpCodecLz4 = 1,      // the lz4 library, in process
  kNpCodecProgram = 2,  // a program: PROG compresses standard input to standard output,
                        // "PROG -d" decompresses; each frame is one run of it
};
// The configuration value (tqbconfig) that chooses the codec of files marked from then
// on: "lz4", "program:PROG" (PROG by name, looked up in PATH) or "none".  Files made
// before keep theirs.
constexpr const char* kNpCompressKey = "BASE/COMPRESS";
// The configuration value that the first failure of the compress program since the host
// removed it leaves, as a sentence ("couldn't execute compress program 'X': ...",
// "'X' [-d] terminated abnormally"); the calls that met the failure failed with EIO.
constexpr const char* kNpCompressFailureKey = "BASE/COMPRESS_FAILURE";
// How a compressed file is read back: from its start on (each handle in order), or at
// offsets that move back and forth (one handle reading several runs in turns).
enum : int { kNpReadsInOrder = 0, kNpReadsAnywhere = 1 };
// Marks the new, empty temporary file `handle` (named `path`) as compressed, when the
// configuration chooses a codec; kNpOk and nothing else otherwise.  A file read anywhere
// takes lz4 where the configuration names a program: a program run for each frame
// refilled would run again at every turn between runs.  kNpErrArgument for a value of
// kNpCompressKey that names no codec.
int np_fio_compress(NpHandle handle, const char* path, int reads);
const char* np_fio_errdesc(int status);
int np_fio_syserr(NpHandle handle);
// The text of an operating-system error number ("No space left on device"), for
// messages a person can act on.  Valid until the next call on the same thread.
const char* np_fio_errtext(int syserr);
// What a person can do about a failure with that error number on a temporary file, as
// a sentence after a blank (" Check the free space ..."), or "" when nothing useful is
// known.  A full disk and a full table of open files get different advice.
const char* np_fio_advice(int syserr);

// How many more files the process may open now: its limit of open files less those
// open; -1 when it cannot tell.
int np_fio_openmax(void);
// Whether an operating-system error number means that no more files can be opened
// (the process's or the system's limit), not that something is wrong with the file.
bool np_fio_toomany(int syserr);

int np_dir_open(const char* path, int flags, NpHandle* handle);
// The bytes that may still be written to the file system of directory `path` (null:
// the default temporary directory), or -1 when that cannot be told.
int64_t np_dir_freebytes(const char* path);
int np_dir_close(NpHandle handle);

#endif
