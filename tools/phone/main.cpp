// sonvale-phone: a phone in a terminal. Pairs with a running sonvale-engine and
// streams a sound file, a generated signal or ready-made Opus packets to it as
// the phone app does, optionally through a simulated lossy network.
#include <CLI/CLI.hpp>

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <memory>
#include <string>

#include "encoded_source.h"
#include "json_object.h"
#include "ogg_opus_source.h"
#include "options.h"
#include "pairing_url.h"
#include "phone_session.h"
#include "signal_source.h"
#include "sonvale_protocol.h"
#include "sound_file_source.h"

namespace {

using tool_options::addRanged;
using tool_options::addWithDefault;
using tool_options::quiet;

enum Exit { kOk = 0, kFailed = 1, kUsage = 2, kEngine = 3 };

struct Options {
    std::string url;
    std::string file;
    std::string opusFile;
    double toneHz = 0;
    bool sweep = false;
    double levelDbfs = -6.0;
    int bitrateKbps = 96;
    bool loop = false;
    bool json = false;
    PhoneSettings session;
};

std::unique_ptr<PacketSource> openSource(const Options& o, std::string& error) {
    if (!o.opusFile.empty()) return OggOpusSource::open(o.opusFile, o.loop, error);
    std::unique_ptr<PcmSource> pcm;
    if (!o.file.empty()) {
        pcm = SoundFileSource::open(o.file, o.loop, error);
    } else if (o.sweep) {
        pcm = std::make_unique<SignalSource>(SignalSource::sweep(o.levelDbfs));
    } else {
        pcm = std::make_unique<SignalSource>(SignalSource::tone(o.toneHz, o.levelDbfs));
    }
    if (!pcm) return nullptr;
    return EncodedSource::create(std::move(pcm), o.bitrateKbps * 1000, error);
}

const char* resultName(PhoneSummary::Result r) {
    switch (r) {
        case PhoneSummary::Result::Finished:
            return "finished";
        case PhoneSummary::Result::Stopped:
            return "stopped";
        case PhoneSummary::Result::WrongPin:
            return "wrong-pin";
        case PhoneSummary::Result::Unreachable:
            return "unreachable";
        case PhoneSummary::Result::Failed:
            return "failed";
    }
    return "failed";
}

void printSummary(const Options& o, const PhoneSummary& s) {
    const double seconds = static_cast<double>(s.frames) / 48000.0;
    const double avg = s.rtt.count > 0 ? s.rtt.sumMs / static_cast<double>(s.rtt.count) : 0.0;
    if (o.json) {
        JsonObject rtt;
        rtt.integer("count", s.rtt.count)
            .number("minMs", s.rtt.minMs, 3)
            .number("avgMs", avg, 3)
            .number("maxMs", s.rtt.maxMs, 3);
        JsonObject json;
        json.text("result", resultName(s.result))
            .text("host", o.session.host)
            .integer("port", o.session.audioPort)
            .text("name", o.session.name)
            .integer("packets", s.packets)
            .number("seconds", seconds, 3)
            .integer("firstSeq", s.firstSeq)
            .integer("lastSeq", s.lastSeq)
            .integer("sent", s.datagrams)
            .integer("dropped", s.dropped)
            .integer("reordered", s.reordered)
            .integer("duplicated", s.duplicated)
            .integer("sendErrors", s.sendErrors)
            .integer("reconnects", s.reconnects)
            .object("rtt", rtt)
            .text("message", s.message);
        std::printf("%s\n", json.str().c_str());
        return;
    }
    if (s.packets == 0) return;
    std::printf("%" PRIu64 " packets (%.2f s) to %s:%u: %" PRIu64 " datagrams sent, %" PRIu64
                " dropped, %" PRIu64 " reordered, %" PRIu64 " duplicated",
                s.packets, seconds, o.session.host.c_str(), o.session.audioPort, s.datagrams, s.dropped,
                s.reordered, s.duplicated);
    if (s.rtt.count > 0)
        std::printf("; round trip min/avg/max %.2f/%.2f/%.2f ms", s.rtt.minMs, avg, s.rtt.maxMs);
    if (s.reconnects > 0) std::printf("; %" PRIu64 " reconnects", s.reconnects);
    std::printf("\n");
}

void addOptions(CLI::App& app, Options& o) {
    const std::string target = "Engine";
    app.add_option(
           "--url", o.url,
           "Pairing URL as the QR code carries it: sonvale://connect?host=...&port=...&name=...&pin=...; "
           "its port is the audio port, the control port is always " +
               std::to_string(sonvale::kControlPort))
        ->type_name("URL")
        ->group(target);
    addWithDefault(app, "--host", o.session.host, "Engine host name or IPv4 address")
        ->type_name("HOST")
        ->group(target);
    addRanged(app, "--port", o.session.audioPort, uint16_t{1}, uint16_t{65535}, "Engine UDP audio port")
        ->type_name("PORT")
        ->group(target);
    app.add_option("--pin", o.session.pin, "Pairing PIN (default: none, for an engine started without a PIN)")
        ->type_name("PIN")
        ->group(target);
    addWithDefault(
        app, "--connect-timeout", o.session.connectTimeoutSeconds,
        "Seconds to wait for the engine to appear, or to come back after it went away; 0 waits for "
        "ever")
        ->type_name("SECONDS")
        ->check(quiet(CLI::NonNegativeNumber))
        ->group(target);
    app.add_option("--mode", o.session.mode,
                   "Jitter mode to request after pairing: 0 (2 packets), 1 (4 packets), 2 (8 packets) "
                   "(default: none sent)")
        ->type_name("0|1|2")
        ->check(quiet(CLI::Range(0, 2)))
        ->group(target);

    const std::string source = "Source (exactly one)";
    app.add_option(
           "file", o.file,
           "Sound file of any common format, rate and channel count (libsndfile), converted to 48 kHz "
           "stereo")
        ->type_name("FILE")
        ->group(source);
    app.add_option("--tone", o.toneHz,
                   "Sine tone of this frequency, in Hz, on both channels, 1 to 23999 (default: none)")
        ->type_name("HZ")
        ->check(quiet(CLI::Range(1.0, 23999.0)))
        ->group(source);
    app.add_flag("--sweep", o.sweep,
                 "Logarithmic sine sweep from 20 Hz to 20 kHz in 10 s, repeated (default off)")
        ->group(source);
    app.add_option(
           "--opus-file", o.opusFile,
           "Ogg Opus file whose packets are sent unchanged, each paced by its own duration (default: none)")
        ->type_name("FILE")
        ->group(source);
    addRanged(app, "--level", o.levelDbfs, -120.0, 0.0, "Peak level of --tone and --sweep, in dBFS")
        ->type_name("DBFS")
        ->group(source);
    addRanged(app, "--bitrate", o.bitrateKbps, 6, 510, "Opus encoder bitrate, in kbit/s")
        ->type_name("KBIT/S")
        ->group(source);
    app.add_flag("--loop", o.loop, "Start a file over at its end, without a gap (default off)")
        ->group(source);

    const std::string sending = "Sending";
    app.add_option(
           "--duration", o.session.durationSeconds,
           "Stop after this much audio, in seconds (default: the whole file; a tone or sweep runs until "
           "interrupted)")
        ->type_name("SECONDS")
        ->check(quiet(CLI::NonNegativeNumber))
        ->group(sending);
    app.add_option(
           "--start-seq", o.session.startSeq,
           "Sequence number of the first packet, 0 to 4294967295 (default: the clock in 20 ms steps, so "
           "that a later run against the same engine numbers above an earlier one and is not dropped as "
           "late)")
        ->type_name("N")
        ->group(sending);
    app.add_flag("--burst", o.session.burst,
                 "Send as fast as the socket takes the datagrams instead of in real time (default off)")
        ->group(sending);
    app.add_option("--dump-packets", o.session.dumpPath,
                   "Write every packet in the order it was sent, lost ones marked, to this text file "
                   "(default: none)")
        ->type_name("FILE")
        ->group(sending);
    app.add_flag("--json", o.json, "Print the summary as one JSON object on standard output (default off)")
        ->group(sending);

    const std::string network = "Simulated network (reproducible with --seed)";
    ImpairmentSettings& imp = o.session.impairment;
    addRanged(app, "--loss", imp.loss, 0.0, 1.0, "Chance that a packet starts a loss, probability")
        ->type_name("P")
        ->group(network);
    addRanged(app, "--burst-loss", imp.burstLoss, 1u, 1000u, "Consecutive packets that one loss drops")
        ->type_name("N")
        ->group(network);
    addRanged(app, "--reorder", imp.reorder, 0.0, 1.0,
              "Chance that a packet is held back behind the next one, probability")
        ->type_name("P")
        ->group(network);
    addRanged(app, "--duplicate", imp.duplicate, 0.0, 1.0, "Chance that a packet is sent twice, probability")
        ->type_name("P")
        ->group(network);
    addRanged(app, "--jitter", imp.jitterMs, 0.0, 10000.0, "Random extra delay of every datagram, in ms")
        ->type_name("MS")
        ->group(network);
    addRanged(app, "--stall", imp.stallMs, 0.0, 10000.0,
              "Stalls of up to this many ms, after which the held datagrams go in a burst, as a phone's "
              "Wi-Fi in power-save does")
        ->type_name("MS")
        ->group(network);
    addRanged(app, "--stall-every", imp.stallEveryMs, 100.0, 600000.0, "Mean time between stalls, in ms")
        ->type_name("MS")
        ->group(network);
    addWithDefault(app, "--seed", imp.seed, "Seed of the simulated network's random choices")
        ->type_name("N")
        ->group(network);
}

// Cross-option rules that CLI11 does not express; empty when all hold.
std::string checkOptions(const CLI::App& app, Options& o) {
    const int sources = (app.count("file") > 0) + (app.count("--tone") > 0) + (o.sweep ? 1 : 0) +
                        (app.count("--opus-file") > 0);
    if (sources != 1) return "give exactly one source: FILE, --tone HZ, --sweep or --opus-file FILE";
    if (!o.url.empty()) {
        if (app.count("--host") + app.count("--port") + app.count("--pin") > 0) {
            return "--url already holds the host, port and PIN; leave out --host, --port and --pin";
        }
        std::optional<PairingTarget> target = parsePairingURL(o.url);
        if (!target) {
            return "not a pairing URL: " + o.url +
                   " (expected sonvale://connect?host=ADDRESS&port=PORT&name=NAME&pin=PIN)";
        }
        o.session.host = target->host;
        o.session.audioPort = target->port;
        o.session.name = target->name;
        o.session.pin = target->pin;
    }
    if (app.count("--start-seq") == 0) o.session.startSeq = sonvale::clockSequence();
    if (o.session.pin.find_first_of("\"\\\r\n") != std::string::npos) {
        return "the PIN cannot hold quotes, backslashes or line ends";
    }
    return {};
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"sonvale-phone: a phone in a terminal. Pairs with a running sonvale-engine (control port " +
                 std::to_string(sonvale::kControlPort) +
                 ") and streams 20 ms Opus packets to its audio port, paced in real time."};
    app.footer(
        "Exit status: 0 streamed to the end or stopped by Ctrl-C, 1 a source, file or socket failed, 2 wrong "
        "usage, 3 the engine refused the PIN or could not be reached.\n"
        "A live status line appears on standard error (on a terminal redrawn in place, elsewhere a plain "
        "line "
        "once a second); a summary goes to standard output.");
    tool_options::addVersion(app, "sonvale-phone");
    Options o;
    addOptions(app, o);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? kOk : kUsage;
    }
    if (const std::string problem = checkOptions(app, o); !problem.empty()) {
        std::fprintf(stderr, "sonvale-phone: %s\nRun with --help for more information.\n", problem.c_str());
        return kUsage;
    }

    std::string error;
    std::unique_ptr<PacketSource> source = openSource(o, error);
    if (!source) {
        std::fprintf(stderr, "sonvale-phone: %s\n", error.c_str());
        return kFailed;
    }

    SignalWatch signals;
    StatusLine status(stderr);
    PhoneSession session(o.session, *source, signals, status);
    const PhoneSummary summary = session.run();
    if (!summary.message.empty()) std::fprintf(stderr, "sonvale-phone: %s\n", summary.message.c_str());
    printSummary(o, summary);
    switch (summary.result) {
        case PhoneSummary::Result::Finished:
        case PhoneSummary::Result::Stopped:
            return kOk;
        case PhoneSummary::Result::WrongPin:
        case PhoneSummary::Result::Unreachable:
            return kEngine;
        case PhoneSummary::Result::Failed:
            return kFailed;
    }
    return kFailed;
}
