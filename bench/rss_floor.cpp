// The least memory a process that does the engine's job can occupy: it maps a
// ring-sized shared area, holds one libopus decoder, decodes the packets of a
// sonvale-phone packet dump into the area and prints its own peak resident set
// (VmHWM, kB). Deliberately plain: libc, libstdc++ and libopus, nothing else.
// Usage: sonvale-rss-floor DUMP
#include <opus.h>
#include <sys/mman.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int kFrames = 960;
constexpr size_t kRingBytes = 384016;
constexpr size_t kRingFrames = 48000;

int nibble(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// "sent <seq> <hex>" into payload; the payload's length, or -1 for other lines.
int parseSent(const char* line, unsigned char* payload, int capacity) {
    if (std::strncmp(line, "sent ", 5) != 0) return -1;
    const char* hex = std::strchr(line + 5, ' ');
    if (hex == nullptr) return -1;
    ++hex;
    int n = 0;
    while (n < capacity && nibble(hex[0]) >= 0 && nibble(hex[1]) >= 0) {
        payload[n++] = static_cast<unsigned char>(nibble(hex[0]) * 16 + nibble(hex[1]));
        hex += 2;
    }
    return n;
}

long peakRssKb() {
    std::FILE* status = std::fopen("/proc/self/status", "r");
    if (status == nullptr) return -1;
    char line[256];
    long kb = -1;
    while (std::fgets(line, sizeof line, status) != nullptr) {
        if (std::strncmp(line, "VmHWM:", 6) == 0) kb = std::atol(line + 6);
    }
    std::fclose(status);
    return kb;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    std::FILE* dump = std::fopen(argv[1], "r");
    if (dump == nullptr) return 1;
    void* ring = mmap(nullptr, kRingBytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    int error = OPUS_OK;
    OpusDecoder* decoder = opus_decoder_create(48000, 2, &error);
    if (ring == MAP_FAILED || decoder == nullptr) return 1;

    static char line[8192];
    static unsigned char payload[2048];
    static float pcm[2 * kFrames];
    size_t written = 0;
    while (std::fgets(line, sizeof line, dump) != nullptr) {
        const int length = parseSent(line, payload, sizeof payload);
        if (length < 0) continue;
        const int frames = opus_decode_float(decoder, payload, length, pcm, kFrames, 0);
        if (frames <= 0) continue;
        float* slots = reinterpret_cast<float*>(static_cast<char*>(ring) + 16);
        std::memcpy(&slots[2 * (written % kRingFrames)], pcm, sizeof pcm);
        written += kFrames;
    }
    // Fill the rest of the area, as a second of audio does.
    std::memset(static_cast<char*>(ring) + 16 + 8 * (written % kRingFrames), 0,
                written >= kRingFrames ? 0 : 8 * (kRingFrames - written));
    const bool concealed = opus_decode_float(decoder, nullptr, 0, pcm, kFrames, 0) == kFrames;
    std::fclose(dump);
    std::printf("%ld\n", peakRssKb());
    opus_decoder_destroy(decoder);
    munmap(ring, kRingBytes);
    return concealed ? 0 : 1;
}
