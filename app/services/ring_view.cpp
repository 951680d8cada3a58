#include "ring_view.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "sv_ring.h"

extern "C" int sonvale_shm_open_ro(const char* name) {
    return shm_open(name, O_RDONLY, 0);
}

RingView::~RingView() {
    close();
}

bool RingView::open() {
    if (isOpen()) return true;
    const int fd = sonvale_shm_open_ro(SVRING_NAME);
    if (fd < 0) return false;
    // Pages beyond the object's end would fault on access (SIGBUS): a writer that
    // has created the object but not yet sized it is treated as absent.
    struct stat st {};
    if (::fstat(fd, &st) != 0 || st.st_size < static_cast<off_t>(SVRING_BYTES)) {
        ::close(fd);
        return false;
    }
    void* base = ::mmap(nullptr, SVRING_BYTES, PROT_READ, MAP_SHARED, fd, 0);
    if (base == MAP_FAILED || base == nullptr) {
        ::close(fd);
        return false;
    }
    fd_ = fd;
    base_ = base;
    return true;
}

void RingView::close() {
    if (base_) {
        ::munmap(const_cast<void*>(base_), SVRING_BYTES);
        base_ = nullptr;
    }
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

bool RingView::replaced() const {
    struct stat st {};
    return fd_ >= 0 && ::fstat(fd_, &st) == 0 && st.st_nlink == 0;
}

uint64_t RingView::writeIndex() const {
    if (!base_) return 0;
    const auto* index =
        reinterpret_cast<const uint64_t*>(static_cast<const char*>(base_) + SVRING_WRITE_INDEX_OFFSET);
    return __atomic_load_n(index, __ATOMIC_ACQUIRE);
}

const float* RingView::frames() const {
    if (!base_) return nullptr;
    return reinterpret_cast<const float*>(static_cast<const char*>(base_) + SVRING_HEADER_BYTES);
}
