// The ring's counters are lock-free 64-bit atomics inside the shared mapping.
// std::atomic_ref gives them acquire/release semantics without placing C++
// objects in memory that C readers also map.
#include "sv_ring.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>

namespace {

struct RingLayout {
    uint64_t writeIndex;
    uint64_t readIndex;
    float frames[SVRING_FRAMES * SVRING_CHANNELS];
};

static_assert(sizeof(RingLayout) == 384016);
static_assert(SVRING_BYTES == 384016);
static_assert(offsetof(RingLayout, writeIndex) == SVRING_WRITE_INDEX_OFFSET);
static_assert(offsetof(RingLayout, readIndex) == SVRING_READ_INDEX_OFFSET);
static_assert(offsetof(RingLayout, frames) == SVRING_HEADER_BYTES);
static_assert(std::atomic_ref<uint64_t>::is_always_lock_free);
static_assert(std::atomic_ref<uint64_t>::required_alignment <= alignof(RingLayout));

constexpr size_t kFrameFloats = SVRING_CHANNELS;
constexpr size_t kFrameBytes = sizeof(float) * kFrameFloats;

RingLayout* layout(const SVRingHandle* h) {
    return static_cast<RingLayout*>(h->base);
}

// A look-only mapping is read-only: these loads never store, so a const view
// through atomic_ref is safe even on PROT_READ pages.
uint64_t load(const uint64_t& counter) {
    return std::atomic_ref<uint64_t>(const_cast<uint64_t&>(counter)).load(std::memory_order_acquire);
}

void copyOut(const RingLayout* r, uint64_t from, float* out, size_t count) {
    size_t done = 0;
    while (done < count) {
        const size_t slot = static_cast<size_t>((from + done) % SVRING_FRAMES);
        const size_t run = std::min(count - done, SVRING_FRAMES - slot);
        std::memcpy(&out[done * kFrameFloats], &r->frames[slot * kFrameFloats], run * kFrameBytes);
        done += run;
    }
}

std::atomic_ref<uint64_t> writeIndex(RingLayout* r) {
    return std::atomic_ref<uint64_t>(r->writeIndex);
}
std::atomic_ref<uint64_t> readIndex(RingLayout* r) {
    return std::atomic_ref<uint64_t>(r->readIndex);
}

void closeDescriptor(SVRingHandle* h) {
    close(h->fd);
    h->fd = -1;
}

// Only the user's own programs may read what the microphone hears.
constexpr mode_t kRingMode = 0600;

bool map(SVRingHandle* h, int flags, bool create) {
    const bool writable = (flags & O_ACCMODE) == O_RDWR;
    h->fd = shm_open(SVRING_NAME, flags, kRingMode);
    if (h->fd < 0) return false;
    if (create && ftruncate(h->fd, SVRING_BYTES) != 0) {
        closeDescriptor(h);
        return false;
    }
    // A reader may open the object between the writer's shm_open and ftruncate:
    // mapping it then would fault on first access.
    struct stat st {};
    if (!create && (fstat(h->fd, &st) != 0 || st.st_size < static_cast<off_t>(SVRING_BYTES))) {
        closeDescriptor(h);
        return false;
    }
    void* p = mmap(nullptr, SVRING_BYTES, writable ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED, h->fd, 0);
    if (p == MAP_FAILED) {
        h->base = nullptr;
        closeDescriptor(h);
        return false;
    }
    h->base = p;
    if (create) {
        writeIndex(layout(h)).store(0, std::memory_order_release);
        readIndex(layout(h)).store(0, std::memory_order_release);
    }
    return true;
}

}  // namespace

extern "C" bool SVRing_OpenWriter(SVRingHandle* h) {
    shm_unlink(SVRING_NAME);
    return map(h, O_RDWR | O_CREAT, true);
}

extern "C" bool SVRing_OpenReader(SVRingHandle* h) {
    return map(h, O_RDWR, false);
}

extern "C" bool SVRing_OpenView(SVRingHandle* h) {
    return map(h, O_RDONLY, false);
}

extern "C" void SVRing_Close(SVRingHandle* h) {
    if (h->base != nullptr) {
        munmap(h->base, SVRING_BYTES);
        h->base = nullptr;
    }
    if (h->fd >= 0) closeDescriptor(h);
}

extern "C" size_t SVRing_Write(SVRingHandle* h, const float* frames, size_t count) {
    if (h->base == nullptr) return 0;
    RingLayout* r = layout(h);
    const uint64_t w = writeIndex(r).load(std::memory_order_acquire);
    // Only the last SVRING_FRAMES of an oversize write can survive; skip the rest.
    const size_t skip = count > SVRING_FRAMES ? count - SVRING_FRAMES : 0;
    size_t done = skip;
    while (done < count) {
        const size_t slot = static_cast<size_t>((w + done) % SVRING_FRAMES);
        const size_t run = std::min(count - done, SVRING_FRAMES - slot);
        std::memcpy(&r->frames[slot * kFrameFloats], &frames[done * kFrameFloats], run * kFrameBytes);
        done += run;
    }
    writeIndex(r).store(w + count, std::memory_order_release);
    return count;
}

extern "C" size_t SVRing_Read(SVRingHandle* h, float* out, size_t count) {
    if (h->base == nullptr) {
        if (count > 0) std::memset(out, 0, count * kFrameBytes);
        return 0;
    }
    RingLayout* r = layout(h);
    uint64_t rd = readIndex(r).load(std::memory_order_acquire);
    const uint64_t w = writeIndex(r).load(std::memory_order_acquire);
    const uint64_t ahead = w - rd;
    const uint64_t available = ahead < SVRING_FRAMES ? ahead : SVRING_FRAMES;
    if (ahead > SVRING_FRAMES) rd = w - SVRING_FRAMES;
    const size_t real = static_cast<size_t>(std::min<uint64_t>(available, count));
    copyOut(r, rd, out, real);
    if (count > real) std::memset(&out[real * kFrameFloats], 0, (count - real) * kFrameBytes);
    readIndex(r).store(rd + real, std::memory_order_release);
    return real;
}

extern "C" uint64_t SVRing_WriteIndex(const SVRingHandle* h) {
    return h->base == nullptr ? 0 : load(layout(h)->writeIndex);
}

extern "C" uint64_t SVRing_ReadIndex(const SVRingHandle* h) {
    return h->base == nullptr ? 0 : load(layout(h)->readIndex);
}

extern "C" size_t SVRing_CopyFrames(const SVRingHandle* h, uint64_t from, float* out, size_t count) {
    if (h->base == nullptr || count > SVRING_FRAMES) return 0;
    const RingLayout* r = layout(h);
    const uint64_t w = load(r->writeIndex);
    if (from > w || w - from < count || w - from > SVRING_FRAMES) return 0;
    copyOut(r, from, out, count);
    // The writer may have lapped the oldest copied frames meanwhile.
    const uint64_t after = load(r->writeIndex);
    return after - from > SVRING_FRAMES ? 0 : count;
}

extern "C" uint64_t SVRing_CopyNewest(const SVRingHandle* h, float* out, size_t count) {
    if (count > SVRING_FRAMES) count = SVRING_FRAMES;
    if (h->base == nullptr) {
        if (count > 0) std::memset(out, 0, count * kFrameBytes);
        return 0;
    }
    const RingLayout* r = layout(h);
    const uint64_t w = load(r->writeIndex);
    const size_t real = static_cast<size_t>(std::min<uint64_t>(w, count));
    const size_t silent = count - real;
    if (silent > 0) std::memset(out, 0, silent * kFrameBytes);
    copyOut(r, w - real, &out[silent * kFrameFloats], real);
    return w;
}

extern "C" bool SVRing_Replaced(const SVRingHandle* h) {
    struct stat st {};
    return h->fd >= 0 && (fstat(h->fd, &st) != 0 || st.st_nlink == 0);
}
