#include "ring_consumer.h"

#include "ring_view.h"

bool RingConsumer::open() {
    close();
    if (!SVRing_OpenReader(&handle_)) return false;
    // Touching a mapping of an object the writer has not sized yet would fault.
    if (!ringObjectComplete(handle_.fd)) {
        close();
        return false;
    }
    return true;
}

void RingConsumer::close() {
    SVRing_Close(&handle_);
}

bool RingConsumer::replaced() const {
    return handle_.fd < 0 || ringObjectUnlinked(handle_.fd);
}

uint64_t RingConsumer::writeIndex() const {
    return __atomic_load_n(static_cast<const uint64_t*>(handle_.base), __ATOMIC_ACQUIRE);
}

uint64_t RingConsumer::readIndex() const {
    return __atomic_load_n(static_cast<const uint64_t*>(handle_.base) + 1, __ATOMIC_ACQUIRE);
}

size_t RingConsumer::read(float* out, size_t count) {
    return SVRing_Read(&handle_, out, count);
}
