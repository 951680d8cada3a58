// Publication is a chain of asynchronous requests on one connection; the server
// answers requests of a connection in order, so an unload sent before a module
// list is already done when the list arrives. A failure anywhere in the chain
// tears down what was loaded and starts the chain again a little later; a lost
// connection starts over from connecting.
#include "mic_bridge.h"

#include <algorithm>
#include <vector>

#include "device_modules.h"
#include "sonvale_protocol.h"

namespace {
using namespace std::chrono_literals;

constexpr auto kReconnectDelay = 1s;
constexpr auto kRepublishDelay = 1s;
constexpr auto kRetryAfterFailure = 5s;
constexpr uint32_t kRate = 48000;
constexpr uint32_t kChannels = 2;

MicBridge* bridge(void* self) {
    return static_cast<MicBridge*>(self);
}

void forget(pa_operation* op) {
    if (op != nullptr) pa_operation_unref(op);
}

std::string sinkName() {
    return std::string(DeviceModules::kSinkName);
}
}  // namespace

void MicBridge::ContextFree::operator()(pa_context* c) const {
    pa_context_set_state_callback(c, nullptr, nullptr);
    pa_context_set_subscribe_callback(c, nullptr, nullptr);
    pa_context_disconnect(c);
    pa_context_unref(c);
}

void MicBridge::StreamFree::operator()(pa_stream* s) const {
    pa_stream_set_state_callback(s, nullptr, nullptr);
    pa_stream_set_write_callback(s, nullptr, nullptr);
    pa_stream_set_underflow_callback(s, nullptr, nullptr);
    if (PA_STREAM_IS_GOOD(pa_stream_get_state(s))) pa_stream_disconnect(s);
    pa_stream_unref(s);
}

MicBridge::MicBridge(pa_mainloop_api* api, MicFeed& feed, Config config, Log log)
    : api_(api), feed_(feed), config_(std::move(config)), log_(std::move(log)) {}

MicBridge::~MicBridge() {
    stream_.reset();
    context_.reset();
}

std::string MicBridge::describe() const {
    switch (stage_) {
        case Stage::published:
            return "published";
        case Stage::publishing:
            return "publishing";
        case Stage::failed:
            return "not published (retrying)";
        case Stage::stopping:
            return "stopping";
        case Stage::connecting:
        case Stage::idle:
            break;
    }
    return reportedUnreachable_ ? "waiting for the sound server" : "connecting";
}

void MicBridge::tick(Clock::time_point now) {
    now_ = now;
    if (stage_ == Stage::stopping) return;
    if (!context_ && now >= connectAt_) connect();
    if (republishAt_ && now >= *republishAt_ && context_ &&
        pa_context_get_state(context_.get()) == PA_CONTEXT_READY) {
        republishAt_.reset();
        startPublishing();
    }
}

std::string MicBridge::serverError() const {
    return context_ ? pa_strerror(pa_context_errno(context_.get())) : "not connected";
}

void MicBridge::connect() {
    pa_proplist* props = pa_proplist_new();
    pa_proplist_sets(props, PA_PROP_APPLICATION_NAME, "Tarnwell microphone");
    pa_proplist_sets(props, PA_PROP_APPLICATION_ID, "sonvale-mic");
    pa_proplist_sets(props, PA_PROP_APPLICATION_ICON_NAME, "audio-input-microphone");
    context_.reset(pa_context_new_with_proplist(api_, "Tarnwell microphone", props));
    pa_proplist_free(props);
    if (!context_) {
        lose("cannot create a sound-server client");
        return;
    }
    stage_ = Stage::connecting;
    pa_context_set_state_callback(context_.get(), &MicBridge::onContextState, this);
    const char* server = config_.server.empty() ? nullptr : config_.server.c_str();
    if (pa_context_connect(context_.get(), server, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        lose(serverError());
    }
}

// The connection is gone (or never came): everything on the server went with it.
void MicBridge::lose(const std::string& why) {
    const bool wasPublished = stage_ == Stage::published;
    stream_.reset();
    context_.reset();
    sinkModule_ = sourceModule_ = PA_INVALID_INDEX;
    pendingUnloads_ = 0;
    republishAt_.reset();
    stage_ = Stage::idle;
    connectAt_ = now_ + kReconnectDelay;
    if (wasPublished || everConnected_) {
        log_("Sound server lost (" + why + "); reconnecting");
        everConnected_ = false;
        reportedUnreachable_ = true;
    } else if (!reportedUnreachable_) {
        log_("Cannot reach the sound server (" + why + "); retrying every second");
        reportedUnreachable_ = true;
    }
    settled_ = true;
}

void MicBridge::onContextState(pa_context* c, void* self) {
    MicBridge* b = bridge(self);
    switch (pa_context_get_state(c)) {
        case PA_CONTEXT_READY:
            b->everConnected_ = true;
            b->reportedUnreachable_ = false;
            pa_context_set_subscribe_callback(c, &MicBridge::onSubscription, b);
            forget(pa_context_subscribe(c, PA_SUBSCRIPTION_MASK_MODULE, nullptr, nullptr));
            b->startPublishing();
            break;
        case PA_CONTEXT_FAILED:
        case PA_CONTEXT_TERMINATED:
            if (b->stage_ == Stage::stopping) {
                b->context_.reset();
                b->finished_ = true;
            } else {
                b->lose(pa_strerror(pa_context_errno(c)));
            }
            break;
        default:
            break;
    }
}

void MicBridge::onSubscription(pa_context*, pa_subscription_event_type_t type, uint32_t index, void* self) {
    MicBridge* b = bridge(self);
    if ((type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) != PA_SUBSCRIPTION_EVENT_MODULE) return;
    if ((type & PA_SUBSCRIPTION_EVENT_TYPE_MASK) != PA_SUBSCRIPTION_EVENT_REMOVE) return;
    if (b->stage_ != Stage::published) return;
    if (index != b->sinkModule_ && index != b->sourceModule_) return;
    if (index == b->sinkModule_) b->sinkModule_ = PA_INVALID_INDEX;
    if (index == b->sourceModule_) b->sourceModule_ = PA_INVALID_INDEX;
    b->retryPublishing("the device was removed by another program");
}

void MicBridge::retryPublishing(const std::string& why) {
    const bool wasPublished = stage_ == Stage::published;
    log_(wasPublished ? "Device lost (" + why + "); publishing it again"
                      : "Publishing the device failed (" + why + "); retrying");
    tearDownDevice();
    stage_ = Stage::failed;
    republishAt_ = now_ + (wasPublished ? kRepublishDelay : kRetryAfterFailure);
    settled_ = true;
}

void MicBridge::startPublishing() {
    stage_ = Stage::publishing;
    forget(pa_context_get_server_info(
        context_.get(),
        [](pa_context*, const pa_server_info* info, void* self) {
            MicBridge* b = bridge(self);
            if (b->stage_ != Stage::publishing) return;
            b->defaultSinkBefore_ = info && info->default_sink_name ? info->default_sink_name : "";
            b->serverName_ = info ? std::string(info->server_name) + " " + info->server_version : "";
            forget(pa_context_get_module_info_list(
                b->context_.get(),
                [](pa_context*, const pa_module_info* m, int eol, void* s) {
                    bridge(s)->removeLeftovers(m, eol);
                },
                b));
        },
        this));
}

// Modules with our names that we did not load in this run: a crashed run's, or
// ones that would take the device's names. They go before we load ours.
void MicBridge::removeLeftovers(const pa_module_info* info, int eol) {
    if (stage_ != Stage::publishing) return;
    if (eol < 0) {
        retryPublishing("cannot list the modules: " + serverError());
        return;
    }
    if (eol == 0) {
        if (info->index != sinkModule_ && info->index != sourceModule_ &&
            DeviceModules::isOurs(info->argument ? info->argument : "")) {
            log_("Removing leftover module " + std::to_string(info->index) + " (" + info->name + " " +
                 (info->argument ? info->argument : "") + ")");
            forget(pa_context_unload_module(context_.get(), info->index, nullptr, nullptr));
        }
        return;
    }
    loadSink();
}

void MicBridge::loadSink() {
    const std::string args = DeviceModules::sinkArguments();
    forget(pa_context_load_module(
        context_.get(), std::string(DeviceModules::kSinkModule).c_str(), args.c_str(),
        [](pa_context*, uint32_t index, void* self) {
            MicBridge* b = bridge(self);
            if (b->stage_ != Stage::publishing) return;
            if (index == PA_INVALID_INDEX) {
                b->retryPublishing("cannot load " + std::string(DeviceModules::kSinkModule) + ": " +
                                   b->serverError());
                return;
            }
            b->sinkModule_ = index;
            forget(pa_context_get_server_info(
                b->context_.get(),
                [](pa_context*, const pa_server_info* info, void* s) { bridge(s)->keepDefaultSink(info); },
                b));
        },
        this));
}

void MicBridge::loadSource() {
    const std::string args = DeviceModules::sourceArguments();
    forget(pa_context_load_module(
        context_.get(), std::string(DeviceModules::kSourceModule).c_str(), args.c_str(),
        [](pa_context*, uint32_t index, void* self) {
            MicBridge* b = bridge(self);
            if (b->stage_ != Stage::publishing) return;
            if (index == PA_INVALID_INDEX) {
                b->retryPublishing("cannot load " + std::string(DeviceModules::kSourceModule) + ": " +
                                   b->serverError());
                return;
            }
            b->sourceModule_ = index;
            b->finishPublishing();
        },
        this));
}

// Our sink must never become where other programs' sound goes: that sound would
// end up in the microphone.
void MicBridge::keepDefaultSink(const pa_server_info* info) {
    if (stage_ != Stage::publishing) return;
    const std::string now = info && info->default_sink_name ? info->default_sink_name : "";
    // "@DEFAULT_SINK@" and the like stand for "none chosen yet": nothing to restore.
    if (now == sinkName() && !defaultSinkBefore_.empty() && defaultSinkBefore_[0] != '@' &&
        defaultSinkBefore_ != sinkName()) {
        forget(pa_context_set_default_sink(context_.get(), defaultSinkBefore_.c_str(), nullptr, nullptr));
    }
    connectStream();
}

void MicBridge::connectStream() {
    const pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, kRate, kChannels};
    pa_channel_map map;
    pa_channel_map_init_stereo(&map);
    pa_proplist* props = pa_proplist_new();
    pa_proplist_sets(props, PA_PROP_MEDIA_NAME, "Tarnwell microphone feed");
    stream_.reset(
        pa_stream_new_with_proplist(context_.get(), "Tarnwell microphone feed", &spec, &map, props));
    pa_proplist_free(props);
    if (!stream_) {
        retryPublishing("cannot create the playback stream: " + serverError());
        return;
    }
    pa_stream_set_state_callback(stream_.get(), &MicBridge::onStreamState, this);
    pa_stream_set_write_callback(stream_.get(), &MicBridge::onWrite, this);
    pa_stream_set_underflow_callback(stream_.get(), &MicBridge::onUnderflow, this);

    pa_buffer_attr attr;
    attr.maxlength = static_cast<uint32_t>(-1);
    attr.tlength =
        static_cast<uint32_t>(pa_usec_to_bytes(static_cast<pa_usec_t>(config_.latencyMs * 1000), &spec));
    attr.prebuf = static_cast<uint32_t>(-1);
    attr.minreq = static_cast<uint32_t>(-1);
    attr.fragsize = static_cast<uint32_t>(-1);
    pa_cvolume volume;
    pa_cvolume_reset(&volume, kChannels);
    const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE |
                                                      PA_STREAM_START_UNMUTED);
    feed_.reset();
    if (pa_stream_connect_playback(stream_.get(), sinkName().c_str(), &attr, flags, &volume, nullptr) < 0) {
        retryPublishing("cannot connect the playback stream: " + serverError());
    }
}

void MicBridge::onStreamState(pa_stream* s, void* self) {
    MicBridge* b = bridge(self);
    switch (pa_stream_get_state(s)) {
        case PA_STREAM_READY:
            if (b->stage_ == Stage::publishing) b->restartSinkClock();
            break;
        case PA_STREAM_FAILED:
        case PA_STREAM_TERMINATED:
            if (b->stage_ == Stage::publishing || b->stage_ == Stage::published) {
                b->retryPublishing("the playback stream ended: " + b->serverError());
            }
            break;
        default:
            break;
    }
}

// PulseAudio's fresh null sink may still sleep through a long first block from
// before our stream asked for a short latency; a suspend and resume restarts its
// timer now. PipeWire has no such block, and there a suspend leaves the stream's
// second channel silent (and a source remapped from the monitor silent), so it is
// skipped there.
void MicBridge::restartSinkClock() {
    if (serverName_.find("PipeWire") != std::string::npos) {
        loadSource();
        return;
    }
    forget(pa_context_suspend_sink_by_name(context_.get(), sinkName().c_str(), 1, nullptr, nullptr));
    forget(pa_context_suspend_sink_by_name(
        context_.get(), sinkName().c_str(), 0,
        [](pa_context*, int, void* self) {
            MicBridge* b = bridge(self);
            if (b->stage_ == Stage::publishing) b->loadSource();
        },
        this));
}

void MicBridge::finishPublishing() {
    stage_ = Stage::published;
    settled_ = true;
    log_("Device " + std::string(sonvale::kDeviceUID) + " (\"" + std::string(sonvale::kDeviceName) +
         "\") published on " + serverName_);
}

void MicBridge::onWrite(pa_stream* s, size_t bytes, void* self) {
    MicBridge* b = bridge(self);
    constexpr size_t kFrameBytes = kChannels * sizeof(float);
    while (bytes >= kFrameBytes) {
        void* data = nullptr;
        size_t size = bytes;
        if (pa_stream_begin_write(s, &data, &size) < 0 || data == nullptr) return;
        const size_t frames = std::min(size, bytes) / kFrameBytes;
        if (frames == 0) {
            pa_stream_cancel_write(s);
            return;
        }
        b->feed_.fill(static_cast<float*>(data), frames);
        if (pa_stream_write(s, data, frames * kFrameBytes, nullptr, 0, PA_SEEK_RELATIVE) < 0) return;
        bytes -= frames * kFrameBytes;
    }
}

void MicBridge::onUnderflow(pa_stream*, void* self) {
    bridge(self)->feed_.control().serverUnderflow();
}

void MicBridge::tearDownDevice() {
    stream_.reset();
    unloadOurs(nullptr);
}

void MicBridge::unloadOurs(pa_context_success_cb_t done) {
    for (uint32_t* module : {&sourceModule_, &sinkModule_}) {
        if (*module == PA_INVALID_INDEX) continue;
        if (done != nullptr) ++pendingUnloads_;
        forget(pa_context_unload_module(context_.get(), *module, done, done ? this : nullptr));
        *module = PA_INVALID_INDEX;
    }
}

void MicBridge::shutdown() {
    if (stage_ == Stage::stopping) return;
    stage_ = Stage::stopping;
    republishAt_.reset();
    stream_.reset();
    if (!context_ || pa_context_get_state(context_.get()) != PA_CONTEXT_READY) {
        context_.reset();
        finished_ = true;
        return;
    }
    unloadOurs([](pa_context*, int, void* self) {
        MicBridge* b = bridge(self);
        if (--b->pendingUnloads_ == 0) b->finishShutdown(true);
    });
    if (pendingUnloads_ == 0) finishShutdown(false);
}

void MicBridge::finishShutdown(bool removed) {
    if (removed) log_("Device " + std::string(sonvale::kDeviceUID) + " removed");
    context_.reset();
    finished_ = true;
}
