#pragma once

#include <string>

class SignalWatch;

// Exit statuses of sonvale-ring.
enum RingExit { kRingOk = 0, kRingFailed = 1, kRingUsage = 2 };

struct StatusOptions {
    bool watch = false;
    int intervalMs = 1000;
    bool json = false;
};

struct RecordOptions {
    std::string path;
    double seconds = 0;  // of audio, from the first frame; 0: until interrupted
    bool consume = false;
    bool json = false;
};

struct LevelOptions {
    double seconds = 0;  // 0: until interrupted
    bool json = false;
};

int runStatus(const StatusOptions& options, SignalWatch& signals);
int runRecord(const RecordOptions& options, SignalWatch& signals);
int runLevel(const LevelOptions& options, SignalWatch& signals);
