#include "ring_view.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "sv_ring.h"

bool ringObjectUnlinked(int fd) {
    struct stat st {};
    return fstat(fd, &st) != 0 || st.st_nlink == 0;
}

bool ringObjectComplete(int fd) {
    struct stat st {};
    return fstat(fd, &st) == 0 && st.st_size >= static_cast<off_t>(SVRING_BYTES);
}

bool RingView::open() {
    close();
    const int fd = shm_open(SVRING_NAME, O_RDONLY, 0);
    if (fd < 0) return false;
    if (!ringObjectComplete(fd)) {
        ::close(fd);
        return false;
    }
    void* p = mmap(nullptr, SVRING_BYTES, PROT_READ, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) {
        ::close(fd);
        return false;
    }
    fd_ = fd;
    base_ = static_cast<const unsigned char*>(p);
    return true;
}

void RingView::close() {
    if (base_ != nullptr) munmap(const_cast<unsigned char*>(base_), SVRING_BYTES);
    if (fd_ >= 0) ::close(fd_);
    base_ = nullptr;
    fd_ = -1;
}

bool RingView::replaced() const {
    return fd_ < 0 || ringObjectUnlinked(fd_);
}

uint64_t RingView::writeIndex() const {
    return __atomic_load_n(reinterpret_cast<const uint64_t*>(base_ + SVRING_WRITE_INDEX_OFFSET),
                           __ATOMIC_ACQUIRE);
}

uint64_t RingView::readIndex() const {
    return __atomic_load_n(reinterpret_cast<const uint64_t*>(base_ + SVRING_READ_INDEX_OFFSET),
                           __ATOMIC_ACQUIRE);
}

void RingView::copyFrames(uint64_t from, size_t count, float* out) const {
    const auto* frames = reinterpret_cast<const float*>(base_ + SVRING_HEADER_BYTES);
    size_t done = 0;
    while (done < count) {
        const auto slot = static_cast<size_t>((from + done) % SVRING_FRAMES);
        const size_t run = std::min(count - done, static_cast<size_t>(SVRING_FRAMES) - slot);
        std::memcpy(out + 2 * done, frames + 2 * slot, run * 2 * sizeof(float));
        done += run;
    }
}
