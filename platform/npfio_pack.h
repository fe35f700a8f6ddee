// Compressed temporary files, behind npfio's handles (internal to the platform).
//
// A compressed file is append-only and read at any offset.  Its bytes are cut into
// frames (kNpFrameLz4 or kNpFrameProgram bytes, the last one shorter) in the format of
// npframe.h, each compressed on its own and written after the previous one.  Offsets
// stay those of the bytes written: the file's frame index (in memory) turns an offset
// into its frame, so that callers seek, read and truncate as on a plain file.  Every
// handle on one file shares the index and the file's unwritten last frame; the index
// lives until the file's name is unlinked through npfio and its last handle is closed,
// so that a file may be closed and opened again by name.  A frame that reads back
// short, with another checksum or that does not decompress to its length is an I/O
// error (EIO), never other bytes; a failure of the compress program leaves its sentence
// in the configuration value kNpCompressFailureKey.
//
// Memory: the file's unwritten frame while it is written (one frame), and per handle
// the frame it read last (one frame, once it reads); per thread a scratch buffer for a
// frame's compressed bytes (a frame and a little more).
#ifndef TQ_PLATFORM_NPFIO_PACK_H
#define TQ_PLATFORM_NPFIO_PACK_H

#include <cstddef>
#include <cstdint>

#include "npframe.h"

struct NpPack;

// The codec the configuration chooses for new files (kNpCompressKey; -1 for a value
// that names none), and for kNpCodecProgram the program's name in `program`.
int npPackCodec(char* program, size_t programSize);
// A handle on the new, empty file `fd` named `path`, made a compressed file of `codec`;
// null with *error set on failure.
NpPack* npPackCreate(int fd, const char* path, int codec, const char* program, int* error);
// A handle on the compressed file named `path` (open as `fd`); null when no compressed
// file has that name (*error 0) or on failure (*error set).
NpPack* npPackOpen(int fd, const char* path, int* error);
// The name is gone: the file's index lives on only while handles hold it.
void npPackForget(const char* path);

// As np_fio_getb, np_fio_putb, np_fio_seek64, np_fio_trunc; *error set on failure.
int32_t npPackGet(NpPack* pack, uint8_t* to, int32_t count, int* error);
int32_t npPackPut(NpPack* pack, const uint8_t* from, int32_t count, int* error);
int64_t npPackSeek(NpPack* pack, int64_t offset, int whence, int* error);
int npPackTrunc(NpPack* pack, int* error);
// Writes the unwritten frame if this handle wrote it; false (with *error) when that
// fails.  Frees the handle either way (the fd stays the caller's to close).
bool npPackClose(NpPack* pack, int* error);

#endif
