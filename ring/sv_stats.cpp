// A seqlock over plain 64-bit words: the writer makes the sequence odd, stores
// the values and makes it even again; a reader copies the values between two
// loads of an unchanged, even sequence. Every word is accessed through
// std::atomic_ref, so readers in other processes (and in C) never see a torn
// word. No standalone fences (ThreadSanitizer does not model them): each value
// is stored with release and loaded with acquire, so a reader that sees any
// value of a publication also sees the odd sequence stored before it.
#include "sv_stats.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstring>

namespace {

constexpr size_t kWords = sizeof(SVStats) / sizeof(uint64_t);

struct StatsLayout {
    uint32_t version;
    uint32_t valueBytes;
    uint64_t sequence;
    uint64_t values[kWords];
};

static_assert(sizeof(SVStats) == kWords * sizeof(uint64_t));
static_assert(offsetof(StatsLayout, values) == SVSTATS_HEADER_BYTES);
constexpr size_t kBytes = sizeof(StatsLayout);
constexpr int kReadAttempts = 1000;
constexpr mode_t kStatsMode = 0600;

StatsLayout* layout(const SVStatsHandle* h) {
    return static_cast<StatsLayout*>(h->base);
}

// Read-only mappings only ever load, so the const_cast never leads to a store.
template <typename T>
std::atomic_ref<T> word(const T& w) {
    return std::atomic_ref<T>(const_cast<T&>(w));
}

void closeDescriptor(SVStatsHandle* h) {
    close(h->fd);
    h->fd = -1;
}

bool map(SVStatsHandle* h, bool create) {
    h->base = nullptr;
    h->fd = shm_open(SVSTATS_NAME, create ? O_RDWR | O_CREAT : O_RDONLY, kStatsMode);
    if (h->fd < 0) return false;
    struct stat st {};
    if ((create && ftruncate(h->fd, kBytes) != 0) ||
        (!create && (fstat(h->fd, &st) != 0 || st.st_size < static_cast<off_t>(kBytes)))) {
        closeDescriptor(h);
        return false;
    }
    void* p = mmap(nullptr, kBytes, create ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED, h->fd, 0);
    if (p == MAP_FAILED) {
        closeDescriptor(h);
        return false;
    }
    h->base = p;
    StatsLayout* s = layout(h);
    if (create) {
        word(s->version).store(SVSTATS_VERSION, std::memory_order_relaxed);
        word(s->valueBytes).store(sizeof(SVStats), std::memory_order_release);
    } else if (word(s->valueBytes).load(std::memory_order_acquire) < sizeof(SVStats)) {
        SVStats_Close(h);  // a writer still setting it up, or an older layout
        return false;
    }
    return true;
}

}  // namespace

extern "C" bool SVStats_OpenWriter(SVStatsHandle* h) {
    shm_unlink(SVSTATS_NAME);
    return map(h, true);
}

extern "C" bool SVStats_OpenView(SVStatsHandle* h) {
    return map(h, false);
}

extern "C" void SVStats_Close(SVStatsHandle* h) {
    if (h->base != nullptr) munmap(h->base, kBytes);
    h->base = nullptr;
    if (h->fd >= 0) closeDescriptor(h);
}

extern "C" void SVStats_Publish(SVStatsHandle* h, const SVStats* values) {
    if (h->base == nullptr) return;
    StatsLayout* s = layout(h);
    const uint64_t sequence = word(s->sequence).load(std::memory_order_relaxed);
    word(s->sequence).store(sequence + 1, std::memory_order_relaxed);
    uint64_t in[kWords];
    std::memcpy(in, values, sizeof in);
    for (size_t i = 0; i < kWords; ++i)
        word(s->values[i]).store(in[i], std::memory_order_release);
    word(s->sequence).store(sequence + 2, std::memory_order_release);
}

extern "C" bool SVStats_Read(const SVStatsHandle* h, SVStats* out) {
    if (h->base == nullptr) return false;
    const StatsLayout* s = layout(h);
    uint64_t copy[kWords];
    for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
        const uint64_t before = word(s->sequence).load(std::memory_order_acquire);
        if (before % 2 == 0) {
            for (size_t i = 0; i < kWords; ++i)
                copy[i] = word(s->values[i]).load(std::memory_order_acquire);
            if (word(s->sequence).load(std::memory_order_relaxed) == before) {
                std::memcpy(out, copy, sizeof copy);
                return true;
            }
        }
        sched_yield();
    }
    return false;
}

extern "C" bool SVStats_Replaced(const SVStatsHandle* h) {
    struct stat st {};
    return h->fd >= 0 && (fstat(h->fd, &st) != 0 || st.st_nlink == 0);
}
