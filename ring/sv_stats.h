/*
 * The engine's stream statistics "/sonvale_stats": a small shared-memory block
 * beside the ring, written by the engine (the only writer) and read by any
 * number of look-only readers, with no connection and no PIN.
 *
 * Layout (native byte order):
 *   offset 0   uint32 version     SVSTATS_VERSION of the writer
 *   offset 4   uint32 valueBytes  size of the values that follow the header
 *   offset 8   uint64 sequence    seqlock: odd while the writer changes the values
 *   offset 16  the values, SVStats, uint64 each
 * A later version only appends values: a reader takes the first
 * sizeof(SVStats) bytes of any block whose valueBytes is at least that.
 *
 * The counters count since the current stream began (a phone passed its hello)
 * and never go down during a stream; readers derive per-second values from two
 * readings and their updatedUs.
 */
#ifndef SV_STATS_H
#define SV_STATS_H

#include <stdbool.h>
#include <stdint.h>

#include "sv_ring.h"

#ifdef __cplusplus
extern "C" {
#endif

#define SVSTATS_NAME "/sonvale_stats"
#define SVSTATS_VERSION 1u
#define SVSTATS_HEADER_BYTES 16u

typedef struct SVStats {
    uint64_t updatedUs;  /* CLOCK_MONOTONIC, microseconds, when these values were taken */
    uint64_t startedUs;  /* CLOCK_MONOTONIC, microseconds, when the stream began; 0: none yet */
    uint64_t received;   /* datagrams taken in, duplicates and late ones included */
    uint64_t lost;       /* packets played out as concealment that never arrived */
    uint64_t concealed;  /* 20 ms steps made by packet-loss concealment */
    uint64_t late;       /* packets dropped because their play-out step had passed */
    uint64_t duplicated; /* datagrams whose packet had already arrived */
    uint64_t jitterUs;   /* interarrival jitter (RFC 3550 estimator), microseconds */
    uint64_t delayUs;    /* what waits in the jitter buffer and the ring for the consuming reader */
} SVStats;

typedef struct SVStatsHandle {
    int fd;
    void* base;
} SVStatsHandle;

/* Removes any existing block, creates a fresh one (all values 0, mode 0600 like
 * the ring) and maps it. */
SVRING_API bool SVStats_OpenWriter(SVStatsHandle* h);

/* Attaches read-only. Fails while no writer has created the block, while it is
 * still being sized, or when its values are shorter than this reader's SVStats. */
SVRING_API bool SVStats_OpenView(SVStatsHandle* h);

/* Unmaps and closes; never removes the object. Safe on a closed handle. */
SVRING_API void SVStats_Close(SVStatsHandle* h);

/* Writer only: publishes all values at once. */
SVRING_API void SVStats_Publish(SVStatsHandle* h, const SVStats* values);

/* Copies one consistent set of values, never a mix of two publications.
 * False (and out untouched) when the handle is not mapped or the writer kept
 * changing the values for the whole attempt. */
SVRING_API bool SVStats_Read(const SVStatsHandle* h, SVStats* out);

/* True when a writer that started anew replaced the block (see SVRing_Replaced). */
SVRING_API bool SVStats_Replaced(const SVStatsHandle* h);

#ifdef __cplusplus
}
#endif

#endif /* SV_STATS_H */
