// Sequences of pushes, drains and target changes. Invariants: every play-out
// step advances the next number (by one, or across a hopeless gap), at most 50
// loss reports come between two payloads, and a stored payload comes out once or
// is dropped as late or duplicate, never twice.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <set>
#include <utility>
#include <vector>

#include "jitter_buffer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    JitterBuffer jb;
    uint32_t nextId = 0;
    std::set<uint32_t> released;
    // A payload holds its number and a unique id.
    const auto push = [&](uint32_t seq) {
        std::vector<uint8_t> p(8);
        std::memcpy(p.data(), &seq, 4);
        std::memcpy(p.data() + 4, &nextId, 4);
        ++nextId;
        jb.push(seq, std::move(p));
    };
    for (size_t i = 0; i + 4 < size; i += 5) {
        uint32_t arg;
        std::memcpy(&arg, data + i + 1, 4);
        if (data[i] % 4 == 0) push(jb.nextSeq() + (arg % 128) - 32);  // near the stream
        if (data[i] % 4 == 1) push(arg);                              // anywhere
        if (data[i] % 4 == 2) jb.configure(static_cast<int32_t>(arg % 12) - 2);
        if (data[i] % 4 != 3) continue;
        std::vector<uint8_t> out;
        bool lost = false;
        for (size_t lossRun = 0;;) {
            const uint32_t before = jb.nextSeq();
            const bool wasStarted = jb.started();
            if (!jb.pop(out, lost)) break;
            if (wasStarted && jb.nextSeq() == before) std::abort();
            if (lost && (!out.empty() || ++lossRun > JitterBuffer::kMaxLossReports)) std::abort();
            if (lost) continue;
            uint32_t seqAndId[2];
            std::memcpy(seqAndId, out.data(), 8);
            if (jb.nextSeq() != seqAndId[0] + 1 || !released.insert(seqAndId[1]).second) std::abort();
            lossRun = 0;
        }
    }
    return 0;
}
