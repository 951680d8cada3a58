// Publication is a chain of asynchronous requests on one connection; the server
// answers requests of a connection in order, so an unload sent before a module
// list is already done when the list arrives. A failure anywhere in the chain
// tears down what was loaded and starts the chain again a little later; a lost
// connection starts over from connecting.
#include "mic_bridge.h"

#include <pulse/timeval.h>

#include <algorithm>

#include "device_modules.h"
#include "sonvale_protocol.h"

namespace {
using namespace std::chrono_literals;

constexpr auto kReconnectDelay = 1s;
constexpr auto kRepublishDelay = 1s;
constexpr auto kRetryAfterFailure = 5s;
// The FIFO is topped up this often while a program records.
constexpr pa_usec_t kPumpPeriodUs = 5000;
// Room in the FIFO beyond the level kept, for the largest reads of a server cycle.
constexpr size_t kFifoCapacityFrames = 48000;

MicBridge* bridge(void* self) {
    return static_cast<MicBridge*>(self);
}

void forget(pa_operation* op) {
    if (op != nullptr) pa_operation_unref(op);
}

// A wall-clock deadline one period from now; the pacing itself reads the
// monotonic clock, so a jump of the wall clock only moves one tick.
timeval nextTick() {
    timeval tv{};
    pa_gettimeofday(&tv);
    return *pa_timeval_add(&tv, kPumpPeriodUs);
}
}  // namespace

void MicBridge::ContextFree::operator()(pa_context* c) const {
    pa_context_set_state_callback(c, nullptr, nullptr);
    pa_context_set_subscribe_callback(c, nullptr, nullptr);
    pa_context_disconnect(c);
    pa_context_unref(c);
}

MicBridge::MicBridge(pa_mainloop_api* api, MicFeed& feed, Config config, Log log)
    : api_(api),
      feed_(feed),
      config_(std::move(config)),
      log_(std::move(log)),
      fifoPath_(FifoWriter::defaultPath()) {
    const timeval tv = nextTick();
    timer_ = api_->time_new(api_, &tv, &MicBridge::onTimer, this);
}

MicBridge::~MicBridge() {
    if (timer_ != nullptr) api_->time_free(timer_);
    context_.reset();
}

std::string MicBridge::describe() const {
    switch (stage_) {
        case Stage::published:
            return recording_ ? "published (recording)" : "published (idle)";
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
    setRecording(false);
    fifo_.close();
    context_.reset();
    sourceModule_ = sourceIndex_ = PA_INVALID_INDEX;
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
            forget(pa_context_subscribe(c,
                                        static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_MODULE |
                                                                            PA_SUBSCRIPTION_MASK_SOURCE),
                                        nullptr, nullptr));
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

void MicBridge::onSubscription(pa_context* c, pa_subscription_event_type_t type, uint32_t index, void* self) {
    MicBridge* b = bridge(self);
    if (b->stage_ != Stage::published) return;
    const auto facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
    const auto kind = type & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
    if (facility == PA_SUBSCRIPTION_EVENT_SOURCE && kind == PA_SUBSCRIPTION_EVENT_CHANGE &&
        index == b->sourceIndex_) {
        // Whether a program records: the source runs.
        forget(pa_context_get_source_info_by_index(
            c, index,
            [](pa_context*, const pa_source_info* info, int, void* s) { bridge(s)->sourceState(info); }, b));
        return;
    }
    if (facility != PA_SUBSCRIPTION_EVENT_MODULE || kind != PA_SUBSCRIPTION_EVENT_REMOVE) return;
    if (index != b->sourceModule_) return;
    b->sourceModule_ = PA_INVALID_INDEX;
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
            b->serverName_ = info ? std::string(info->server_name) + " " + info->server_version : "";
            // PipeWire's pulse server reads a pipe source on its graph's clock, PulseAudio as data comes.
            const bool pipewire = b->serverName_.find("PipeWire") != std::string::npos;
            b->pacer_.emplace(pipewire ? FifoPacer::Mode::level : FifoPacer::Mode::clock,
                              b->config_.latencyMs);
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
        if (info->index != sourceModule_ && DeviceModules::isOurs(info->argument ? info->argument : "")) {
            log_("Removing leftover module " + std::to_string(info->index) + " (" + info->name + " " +
                 (info->argument ? info->argument : "") + ")");
            forget(pa_context_unload_module(context_.get(), info->index, nullptr, nullptr));
        }
        return;
    }
    // The unloads above are done before the load: the server answers in order.
    FifoWriter::removeLeftover(fifoPath_);
    loadSource();
}

void MicBridge::loadSource() {
    const std::string args = DeviceModules::sourceArguments(fifoPath_);
    forget(pa_context_load_module(
        context_.get(), std::string(DeviceModules::kSourceModule).c_str(), args.c_str(),
        [](pa_context*, uint32_t index, void* self) {
            MicBridge* b = bridge(self);
            if (b->stage_ == Stage::publishing) b->sourceLoaded(index);
        },
        this));
}

void MicBridge::sourceLoaded(uint32_t module) {
    if (module == PA_INVALID_INDEX) {
        retryPublishing("cannot load " + std::string(DeviceModules::kSourceModule) + ": " + serverError());
        return;
    }
    sourceModule_ = module;
    std::string error;
    if (!fifo_.open(fifoPath_, kFifoCapacityFrames, error)) {
        retryPublishing("cannot open the device's FIFO " + error);
        return;
    }
    forget(pa_context_get_source_info_by_name(
        context_.get(), std::string(sonvale::kDeviceUID).c_str(),
        [](pa_context*, const pa_source_info* info, int eol, void* self) {
            MicBridge* b = bridge(self);
            if (b->stage_ != Stage::publishing || eol > 0) return;
            if (eol < 0) {
                b->retryPublishing("the device did not appear: " + b->serverError());
                return;
            }
            b->sourceIndex_ = info->index;
            b->stage_ = Stage::published;
            b->settled_ = true;
            b->log_("Device " + std::string(sonvale::kDeviceUID) + " (\"" +
                    std::string(sonvale::kDeviceName) + "\") published on " + b->serverName_);
            b->sourceState(info);
        },
        this));
}

void MicBridge::sourceState(const pa_source_info* info) {
    if (stage_ != Stage::published || info == nullptr || info->index != sourceIndex_) return;
    setRecording(info->state == PA_SOURCE_RUNNING);
}

// A recording starts afresh at the newest audio; what nobody took when it ended
// is thrown away, so the next one does not begin with it.
void MicBridge::setRecording(bool recording) {
    if (recording == recording_) return;
    recording_ = recording;
    feed_.reset();
    if (recording) {
        pacer_->start(Clock::now());
    } else {
        fifo_.flush();
    }
}

void MicBridge::onTimer(pa_mainloop_api* api, pa_time_event* e, const struct timeval*, void* self) {
    bridge(self)->pump();
    const timeval tv = nextTick();
    api->time_restart(e, &tv);
}

void MicBridge::pump() {
    if (stage_ != Stage::published || !recording_ || !fifo_.isOpen()) return;
    const FifoPacer::Plan plan = pacer_->plan(Clock::now(), fifo_.queued());
    if (plan.starved) feed_.control().serverUnderflow();
    if (plan.frames == 0) return;
    audio_.resize(2 * plan.frames);
    feed_.fill(audio_.data(), plan.frames);
    fifo_.write(audio_.data(), plan.frames);
    if (trace_.enabled() && feed_.lastRingFrame()) {
        trace_.line(TraceLog::nowUs(),
                    ",\"leg\":\"mic\",\"frame\":" + std::to_string(*feed_.lastRingFrame()) +
                        ",\"frames\":" + std::to_string(plan.frames));
    }
}

void MicBridge::tearDownDevice() {
    setRecording(false);
    fifo_.close();
    sourceIndex_ = PA_INVALID_INDEX;
    unloadOurs(nullptr);
}

void MicBridge::unloadOurs(pa_context_success_cb_t done) {
    if (sourceModule_ == PA_INVALID_INDEX) return;
    if (done != nullptr) ++pendingUnloads_;
    forget(pa_context_unload_module(context_.get(), sourceModule_, done, done ? this : nullptr));
    sourceModule_ = PA_INVALID_INDEX;
}

void MicBridge::shutdown() {
    if (stage_ == Stage::stopping) return;
    stage_ = Stage::stopping;
    republishAt_.reset();
    setRecording(false);
    fifo_.close();
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
