#pragma once

#include <pulse/pulseaudio.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "mic_feed.h"

// The sound-server side of the microphone, on one pa_mainloop thread: connects
// (again after the server restarts), removes leftovers of a crashed run,
// publishes the device and plays into it, answering every request of the server
// from the feed. Everything it loaded is unloaded by shutdown().
class MicBridge {
public:
    using Clock = std::chrono::steady_clock;
    using Log = std::function<void(const std::string&)>;

    struct Config {
        std::string server;  // empty: the session's sound server
        double latencyMs = 20;
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
    // "published", "connecting", "publishing", "waiting for the sound server", "stopping".
    std::string describe() const;

private:
    enum class Stage { idle, connecting, publishing, published, failed, stopping };

    struct ContextFree {
        void operator()(pa_context* c) const;
    };
    struct StreamFree {
        void operator()(pa_stream* s) const;
    };

    void connect();
    void lose(const std::string& why);
    void retryPublishing(const std::string& why);
    void startPublishing();
    void removeLeftovers(const pa_module_info* info, int eol);
    void loadSink();
    void loadSource();
    void keepDefaultSink(const pa_server_info* info);
    void connectStream();
    void restartSinkClock();
    void finishPublishing();
    void tearDownDevice();
    void unloadOurs(pa_context_success_cb_t done);
    void finishShutdown(bool removed);
    std::string serverError() const;

    static void onContextState(pa_context* c, void* self);
    static void onSubscription(pa_context* c, pa_subscription_event_type_t type, uint32_t index, void* self);
    static void onStreamState(pa_stream* s, void* self);
    static void onWrite(pa_stream* s, size_t bytes, void* self);
    static void onUnderflow(pa_stream* s, void* self);

    pa_mainloop_api* api_;
    MicFeed& feed_;
    Config config_;
    Log log_;

    std::unique_ptr<pa_context, ContextFree> context_;
    std::unique_ptr<pa_stream, StreamFree> stream_;
    Stage stage_ = Stage::idle;
    Clock::time_point now_{};
    Clock::time_point connectAt_{};
    std::optional<Clock::time_point> republishAt_;
    uint32_t sinkModule_ = PA_INVALID_INDEX;
    uint32_t sourceModule_ = PA_INVALID_INDEX;
    uint32_t pendingUnloads_ = 0;
    std::string defaultSinkBefore_;
    std::string serverName_;
    bool everConnected_ = false;
    bool reportedUnreachable_ = false;
    bool settled_ = false;
    bool finished_ = false;
};
