// sonvale-ring: look at and listen to what the engine writes into the shared
// ring: its counters, a recording to a WAV file, and a live level meter.
#include <CLI/CLI.hpp>

#include "commands.h"
#include "options.h"
#include "signal_watch.h"
#include "sv_ring.h"
#include "sv_stats.h"

using tool_options::addRanged;

int main(int argc, char** argv) {
    CLI::App app{"sonvale-ring: see and hear what arrives in the shared audio ring " SVRING_NAME
                 " (48 kHz stereo float, one second long)."};
    // One --help shows every command with all its options.
    app.set_help_flag();
    app.set_help_all_flag("-h,--help", "Print this help, with every command and option, and exit");
    app.require_subcommand(1);
    app.footer(
        "Exit status: 0 done, 1 no ring (status) or the WAV file could not be written, 2 wrong usage.\n"
        "Commands wait for an engine that has not started yet and follow a restarted one. Results go to "
        "standard output, redrawn in place on a terminal; record's progress goes to standard error. Where "
        "the output is not a terminal, a live line becomes a plain line once a second.");
    tool_options::addVersion(app, "sonvale-ring");

    StatusOptions status;
    CLI::App* statusCmd = app.add_subcommand(
        "status",
        "Show the ring's counters, how far the consuming reader lags, whether the writer is alive "
        "(its write index moves, watched for a second) and the engine's statistics of the stream "
        "(" SVSTATS_NAME
        "): packets received, lost, concealed, late and duplicated since it began and "
        "per second, arrival jitter and the delay to the microphone");
    statusCmd->add_flag("--watch", status.watch, "Repeat until interrupted (default off: show once)");
    addRanged(*statusCmd, "--interval", status.intervalMs, 10, 3600000, "Time between --watch samples, in ms")
        ->type_name("MS");
    statusCmd->add_flag("--json", status.json, "One JSON object per sample (default off)");

    RecordOptions record;
    CLI::App* recordCmd = app.add_subcommand(
        "record",
        "Record every frame the engine writes to a 32-bit float WAV file (48 kHz stereo); pauses in the "
        "stream are not padded");
    recordCmd->add_option("out", record.path, "WAV file to write (required)")
        ->type_name("OUT.wav")
        ->required();
    // A 32-bit float stereo WAV file holds at most about 3 hours.
    addRanged(*recordCmd, "--seconds", record.seconds, 0.0, 10800.0,
              "Stop after this much audio, in seconds, counted from the first frame received; 0 records "
              "until interrupted")
        ->type_name("N");
    recordCmd->add_flag(
        "--consume", record.consume,
        "Be the consuming reader, moving the read index every 10 ms as the microphone does; the "
        "ring has room for one, so not while sonvale-mic runs (default off: look only, never "
        "touching the ring)");
    recordCmd->add_flag("--json", record.json, "Print the summary as one JSON object (default off)");

    LevelOptions level;
    CLI::App* levelCmd = app.add_subcommand(
        "level",
        "Text level meter: RMS of the newest 480 frames per channel, in dBFS, 10 times a second; silence "
        "once the write index has not moved for 100 ms");
    addRanged(*levelCmd, "--seconds", level.seconds, 0.0, 86400.0,
              "Stop after this long, in seconds; 0 runs until interrupted")
        ->type_name("N");
    levelCmd->add_flag("--json", level.json, "One JSON object per reading, 10 a second (default off)");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? kRingOk : kRingUsage;
    }

    SignalWatch signals;
    if (statusCmd->parsed()) return runStatus(status, signals);
    if (recordCmd->parsed()) return runRecord(record, signals);
    return runLevel(level, signals);
}
