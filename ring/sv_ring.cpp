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
    void* p = mmap(nullptr, SVRING_BYTES, PROT_READ | PROT_WRITE, MAP_SHARED, h->fd, 0);
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
    size_t done = 0;
    while (done < real) {
        const size_t slot = static_cast<size_t>((rd + done) % SVRING_FRAMES);
        const size_t run = std::min(real - done, SVRING_FRAMES - slot);
        std::memcpy(&out[done * kFrameFloats], &r->frames[slot * kFrameFloats], run * kFrameBytes);
        done += run;
    }
    if (count > real) std::memset(&out[real * kFrameFloats], 0, (count - real) * kFrameBytes);
    readIndex(r).store(rd + real, std::memory_order_release);
    return real;
}
