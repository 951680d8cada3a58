// Sequences of pushes, drains and target changes. Invariants: every play-out
// step advances the next number (by one, or across a hopeless gap), at most 50
// loss reports come between two payloads, and a stored payload comes out once or
// is dropped as late or duplicate, never twice.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <set>
#include <vector>

#include "jitter_buffer.h"

namespace {
std::vector<uint8_t> payload(uint32_t seq, uint32_t id) {
    std::vector<uint8_t> p(8);
    std::memcpy(p.data(), &seq, 4);
    std::memcpy(p.data() + 4, &id, 4);
    return p;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    JitterBuffer jb;
    uint32_t base = 0;
    uint32_t nextId = 0;
    std::set<uint32_t> released;
    for (size_t i = 0; i + 4 < size; i += 5) {
        uint32_t arg;
        std::memcpy(&arg, data + i + 1, 4);
        switch (data[i] % 4) {
            case 0:  // a push near the stream
                jb.push(base + (arg % 128) - 32, payload(base + (arg % 128) - 32, nextId++));
                break;
            case 1:  // a push anywhere
                jb.push(arg, payload(arg, nextId++));
                break;
            case 2:
                jb.configure(static_cast<int32_t>(arg % 12) - 2);
                break;
            default: {
                std::vector<uint8_t> out;
                bool lost = false;
                int lossRun = 0;
                for (;;) {
                    const uint32_t before = jb.nextSeq();
                    const bool wasStarted = jb.started();
                    if (!jb.pop(out, lost)) break;
                    const uint32_t after = jb.nextSeq();
                    if (wasStarted && after == before) std::abort();
                    if (lost) {
                        if (!out.empty() || ++lossRun > static_cast<int>(JitterBuffer::kMaxLossReports))
                            std::abort();
                    } else {
                        uint32_t seq;
                        uint32_t id;
                        std::memcpy(&seq, out.data(), 4);
                        std::memcpy(&id, out.data() + 4, 4);
                        if (after != seq + 1 || !released.insert(id).second) std::abort();
                        lossRun = 0;
                    }
                }
                base = jb.nextSeq();
                break;
            }
        }
    }
    return 0;
}
