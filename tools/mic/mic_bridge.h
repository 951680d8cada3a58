#pragma once

#include <pulse/pulseaudio.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "fifo_pacer.h"
#include "fifo_writer.h"
#include "mic_feed.h"
#include "trace_log.h"

// The sound-server side of the microphone, on one pa_mainloop thread: connects
// (again after the server restarts), removes leftovers of a crashed run,
// publishes the device as a pipe source and, while a program records from it,
// writes the feed's audio into the source's FIFO at the pace the server's kind
// needs (see FifoPacer). Everything it loaded is unloaded by shutdown().
class MicBridge {
public:
    using Clock = std::chrono::steady_clock;
    using Log = std::function<void(const std::string&)>;

    struct Config {
        std::string server;     // empty: the session's sound server
        double latencyMs = 20;  // PipeWire: the least audio kept ahead of the server
    };

    MicBridge(pa_mainloop_api* api, MicFeed& feed, Config config, Log log);
    ~MicBridge();
    MicBridge(const MicBridge&) = delete;
    MicBridge& operator=(const MicBridge&) = delete;

    // Periodic work of the main loop: (re)connecting and re-publishing when due.
    void tick(Clock::time_point now);
    // Starts removing the device; finished() turns true when it is gone.
    void shutdown();
    bool finished() const { return finished_; }

    bool published() const { return stage_ == Stage::published; }
    // Whether the first attempt to publish has ended, either way.
    bool settled() const { return settled_; }
    // "published (recording)", "published (idle)", "connecting", "publishing",
    // "waiting for the sound server", "stopping".
    std::string describe() const;

private:
    enum class Stage { idle, connecting, publishing, published, failed, stopping };

    struct ContextFree {
        void operator()(pa_context* c) const;
    };

    void connect();
    void lose(const std::string& why);
    void retryPublishing(const std::string& why);
    void startPublishing();
    void removeLeftovers(const pa_module_info* info, int eol);
    void loadSource();
    void sourceLoaded(uint32_t module);
    void sourceState(const pa_source_info* info);
    void setRecording(bool recording);
    void pump();
    void tearDownDevice();
    void unloadOurs(pa_context_success_cb_t done);
    void finishShutdown(bool removed);
    std::string serverError() const;

    static void onContextState(pa_context* c, void* self);
    static void onSubscription(pa_context* c, pa_subscription_event_type_t type, uint32_t index, void* self);
    static void onTimer(pa_mainloop_api* api, pa_time_event* e, const struct timeval* tv, void* self);

    pa_mainloop_api* api_;
    MicFeed& feed_;
    Config config_;
    Log log_;

    std::unique_ptr<pa_context, ContextFree> context_;
    pa_time_event* timer_ = nullptr;
    Stage stage_ = Stage::idle;
    Clock::time_point now_{};
    Clock::time_point connectAt_{};
    std::optional<Clock::time_point> republishAt_;
    uint32_t sourceModule_ = PA_INVALID_INDEX;
    uint32_t sourceIndex_ = PA_INVALID_INDEX;
    uint32_t pendingUnloads_ = 0;
    std::string serverName_;
    std::string fifoPath_;
    FifoWriter fifo_;
    std::optional<FifoPacer> pacer_;
    std::vector<float> audio_;
    bool recording_ = false;
    bool everConnected_ = false;
    bool reportedUnreachable_ = false;
    bool settled_ = false;
    bool finished_ = false;
    TraceLog trace_{"mic"};
};
