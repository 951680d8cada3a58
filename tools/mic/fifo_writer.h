#pragma once

#include <cstddef>
#include <string>

// The bridge's end of the FIFO that the sound server's pipe source reads:
// whole frames of interleaved stereo float, never blocking. Opened for reading
// too, so that audio nobody took can be flushed. Owns the descriptor.
class FifoWriter {
public:
    FifoWriter() = default;
    ~FifoWriter() { close(); }
    FifoWriter(const FifoWriter&) = delete;
    FifoWriter& operator=(const FifoWriter&) = delete;

    // Where the bridge asks the server to make the FIFO: the user's runtime
    // folder, which only the user (and the user's sound server) can enter.
    static std::string defaultPath();
    // Removes a FIFO of this user left at path by a run that crashed: a pipe
    // source refuses to make its FIFO where a file exists. Anything else is kept.
    static void removeLeftover(const std::string& path);

    // Opens the FIFO the server made at path, with room for capacityFrames.
    bool open(const std::string& path, size_t capacityFrames, std::string& error);
    void close();
    bool isOpen() const { return fd_ >= 0; }

    // Frames waiting in the FIFO for the server.
    size_t queued() const;
    // Writes as many of the frames as fit; returns how many did.
    size_t write(const float* frames, size_t count);
    // Throws away what waits in the FIFO.
    void flush();

private:
    int fd_ = -1;
    size_t capacity_ = 0;  // frames
};
