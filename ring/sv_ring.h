/*
 * The shared audio ring "/sonvale_ring": one second of 48 kHz stereo float audio
 * plus two 64-bit frame counters, shared between the engine (the only writer),
 * one consuming reader (the virtual microphone) and any number of look-only readers.
 *
 * Layout (native byte order):
 *   offset 0   uint64 writeIndex  frames ever written; stored only by the writer (release)
 *   offset 8   uint64 readIndex   frames consumed; stored only by the consuming reader (release)
 *   offset 16  48000 frames of two floats (left, right); frame k lives in slot k % 48000
 *
 * Look-only readers map the object read-only and never touch readIndex.
 * Each handle is owned by one thread of one process.
 */
#ifndef SV_RING_H
#define SV_RING_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define SVRING_API __attribute__((visibility("default")))
#else
#define SVRING_API
#endif

#define SVRING_NAME "/sonvale_ring"
#define SVRING_FRAMES 48000u
#define SVRING_CHANNELS 2u
#define SVRING_HEADER_BYTES 16u
#define SVRING_BYTES (SVRING_HEADER_BYTES + SVRING_FRAMES * SVRING_CHANNELS * 4u) /* 384016 */
#define SVRING_WRITE_INDEX_OFFSET 0u
#define SVRING_READ_INDEX_OFFSET 8u

/* One attachment to the ring, owned by the caller. Closed: fd -1, base NULL. */
typedef struct SVRingHandle {
    int fd;
    void* base;
} SVRingHandle;

/* Removes any existing ring, creates a fresh one (counters 0, mode 0600: readable
 * by the user's own programs only) and maps it.
 * Every writer start therefore makes a new object; readers of the old one see it stop. */
SVRING_API bool SVRing_OpenWriter(SVRingHandle* h);

/* Attaches to an existing ring as its consuming reader (read-write mapping, since
 * the reader stores readIndex). Fails while no writer has created the ring. */
SVRING_API bool SVRing_OpenReader(SVRingHandle* h);

/* Unmaps and closes; never removes the object. Safe on a closed handle. */
SVRING_API void SVRing_Close(SVRingHandle* h);

/* Appends count interleaved stereo frames and publishes them. Never waits for a
 * reader; a reader more than 48000 frames behind loses the oldest frames.
 * Returns count, or 0 when the handle is not mapped. */
SVRING_API size_t SVRing_Write(SVRingHandle* h, const float* frames, size_t count);

/* Fills exactly count frames of out: the available frames, then silence.
 * A reader lapped by the writer first skips to the oldest frame still present.
 * Returns how many frames carried audio (0 when the handle is not mapped). */
SVRING_API size_t SVRing_Read(SVRingHandle* h, float* out, size_t count);

/* Attaches as a look-only reader: a read-only mapping that never stores anything,
 * so any number of them may run beside the writer and the consuming reader.
 * Fails while no writer has created the ring or is still sizing it. */
SVRING_API bool SVRing_OpenView(SVRingHandle* h);

/* The counters, loaded with acquire ordering so that every frame below the
 * returned writeIndex is visible. 0 when the handle is not mapped. */
SVRING_API uint64_t SVRing_WriteIndex(const SVRingHandle* h);
SVRING_API uint64_t SVRing_ReadIndex(const SVRingHandle* h);

/* Copies frames [from, from + count) into out without moving readIndex.
 * Returns how many were copied: 0 when the handle is not mapped, when count
 * exceeds SVRING_FRAMES, or when any of the frames is not written yet or was
 * already overwritten (the caller then picks a new position). Frames the writer
 * overwrites while they are copied count as overwritten. */
SVRING_API size_t SVRing_CopyFrames(const SVRingHandle* h, uint64_t from, float* out, size_t count);

/* Copies the newest count frames (count at most SVRING_FRAMES) into out, silence
 * standing in for frames before the first one ever written. Returns the
 * writeIndex the copy ends at; 0 (and silence) when the handle is not mapped. */
SVRING_API uint64_t SVRing_CopyNewest(const SVRingHandle* h, float* out, size_t count);

/* True when the mapped object no longer carries the ring's name: a writer that
 * started anew replaced it (or it was removed), so its counters never move again.
 * False for a closed handle. */
SVRING_API bool SVRing_Replaced(const SVRingHandle* h);

#ifdef __cplusplus
}
#endif

#endif /* SV_RING_H */
