#include "ring_reader.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace {
uint64_t loadCounter(const void* base, size_t offset) {
    const auto* p = reinterpret_cast<const uint64_t*>(static_cast<const char*>(base) + offset);
    return __atomic_load_n(p, __ATOMIC_ACQUIRE);
}

// The identity of the object the ring's name refers to now; false when there is none.
bool currentObject(dev_t& device, ino_t& inode) {
    const int fd = shm_open(SVRING_NAME, O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0) return false;
    struct stat st {};
    const bool ok = fstat(fd, &st) == 0;
    close(fd);
    device = st.st_dev;
    inode = st.st_ino;
    return ok;
}
}  // namespace

RingReader::~RingReader() {
    SVRing_Close(&handle_);
}

bool RingReader::open() {
    SVRingHandle fresh{-1, nullptr};
    if (!SVRing_OpenReader(&fresh)) return false;
    struct stat st {};
    if (fstat(fresh.fd, &st) != 0 || st.st_size < static_cast<off_t>(SVRING_BYTES)) {
        SVRing_Close(&fresh);
        return false;
    }
    SVRing_Close(&handle_);
    handle_ = fresh;
    device_ = st.st_dev;
    inode_ = st.st_ino;
    lastWriteIndex_ = writeIndex();
    return true;
}

RingReader::Change RingReader::refresh() {
    if (!attached()) return open() ? Change::attached : Change::none;
    dev_t device = 0;
    ino_t inode = 0;
    const uint64_t w = writeIndex();
    const bool wentBack = w < lastWriteIndex_;
    lastWriteIndex_ = w;
    // While the name is briefly absent (the new engine removed the old object and
    // has not yet created its own) the old mapping stays.
    if (!currentObject(device, inode)) return Change::none;
    if (!wentBack && device == device_ && inode == inode_) return Change::none;
    return open() ? Change::reattached : Change::none;
}

uint64_t RingReader::writeIndex() const {
    return loadCounter(handle_.base, SVRING_WRITE_INDEX_OFFSET);
}

uint64_t RingReader::held() const {
    if (!attached()) return 0;
    const uint64_t r = loadCounter(handle_.base, SVRING_READ_INDEX_OFFSET);
    const uint64_t w = writeIndex();
    return w > r ? std::min<uint64_t>(w - r, SVRING_FRAMES) : 0;
}

size_t RingReader::read(float* out, size_t count) {
    return SVRing_Read(&handle_, out, count);
}
