// sonvale-ring: look at and listen to what the engine writes into the shared
// ring: its counters, a recording to a WAV file, and a live level meter.
#include <CLI/CLI.hpp>

#include "commands.h"
#include "options.h"
#include "signal_watch.h"
#include "status_line.h"
#include "sv_ring.h"

using tool_options::addRanged;
using tool_options::quiet;

int main(int argc, char** argv) {
    CLI::App app{"sonvale-ring: see and hear what arrives in the shared audio ring " SVRING_NAME
                 " (48 kHz stereo float, one second long)."};
    // One --help shows every command with all its options.
    app.set_help_flag();
    app.set_help_all_flag("-h,--help", "Print this help, with every command and option, and exit");
    app.require_subcommand(1);
    app.footer(
        "Exit status: 0 done, 1 no ring (status) or the WAV file could not be written, 2 wrong usage.\n"
        "Commands wait for an engine that has not started yet and follow a restarted one. A live line "
        "appears on "
        "standard error when it is a terminal; results go to standard output.");

    StatusOptions status;
    CLI::App* statusCmd = app.add_subcommand(
        "status",
        "Show the ring's counters, how far the consuming reader lags and whether the writer is alive "
        "(its write index moves)");
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
    recordCmd
        ->add_option("--seconds", record.seconds,
                     "Stop after this long, in seconds (default 0: until interrupted)")
        ->type_name("N")
        ->check(quiet(CLI::NonNegativeNumber));
    recordCmd->add_flag(
        "--consume", record.consume,
        "Be the consuming reader, moving the read index every 10 ms as the microphone does; the "
        "ring has room for one, so not while sonvale-mic runs (default off: look only, never "
        "touching the ring)");
    recordCmd->add_flag("--json", record.json, "Print the summary as one JSON object (default off)");

    LevelOptions level;
    CLI::App* levelCmd = app.add_subcommand(
        "level", "Text level meter: RMS of the newest 480 frames per channel, in dBFS, 10 times a second");
    levelCmd
        ->add_option("--seconds", level.seconds,
                     "Stop after this long, in seconds (default 0: until interrupted)")
        ->type_name("N")
        ->check(quiet(CLI::NonNegativeNumber));
    levelCmd->add_flag("--json", level.json, "One JSON object per reading (default off)");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? kRingOk : kRingUsage;
    }

    SignalWatch signals;
    StatusLine line;
    if (statusCmd->parsed()) return runStatus(status, signals, line);
    if (recordCmd->parsed()) return runRecord(record, signals, line);
    return runLevel(level, signals, line);
}
