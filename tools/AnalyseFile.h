#pragma once

// stemora-analyse: the tuner's analysis path run on a sound file or a live stream.
//
//     stemora-analyse [--note NAME | --shift N] [--tsv] [--raw RATE:CHANNELS:FORMAT] FILE
//
// The file's frames become mono samples as the capture thread converts captured frames (see
// SoundFileReader.h), feed both decimators in passes of 1 ms of sound, and every 63 ms of
// sound one display tick runs and prints one line. Single-threaded; everything here is for
// the tool and its tests. The command line is read in AnalyseArguments.h.

#include <ostream>
#include <span>
#include <string_view>

#include "AnalyseArguments.h"
#include "SoundFileReader.h"

namespace stemora {

// Header of the --tsv output, without a trailing newline.
std::string_view AnalyseTsvHeader();

// Analyses options.Path ("-": standard input) and writes one line per tick to out. Problems
// with the file go to err as one line starting "stemora-analyse: "; the result is an exit
// code (kAnalyseOk or kAnalyseFileError). Lines written before a read error stay written. A
// successful run over samples analysed as 0 ends with one line "stemora-analyse: warning: ..."
// on err. Points the process's fd 2 at /dev/null while libsndfile runs: nothing else may
// write to fd 2 meanwhile, so err must not be written from another thread.
//
// Live use: when standard input is a stream, or the process's standard output is a terminal,
// pipe or socket, out is flushed after every line, so each line leaves in one write as soon as
// its tick is computed; otherwise out buffers. A stream is read a tick at a time, so a line
// never waits for sound after its tick. After a stop signal (see EndRunsOnStopSignals) the run
// ends after the current tick with kAnalyseOk.
// For the program only: SIGINT and SIGTERM then end a run cleanly, as the end of its data
// would: the line being computed is finished, a read waiting on standard input ends (fd 0
// is pointed at /dev/null), and RunAnalysis returns kAnalyseOk. A second signal ends the
// program the default way.
void EndRunsOnStopSignals();

// The stop signal received, or 0.
int StopSignal() noexcept;
int RunAnalysis(const AnalyseOptions& options, std::ostream& out, std::ostream& err);

// The whole program: parses args (without the program name), prints the usage or the version on
// request, runs the analysis. Never throws; returns the process exit code.
int AnalyseMain(std::span<const std::string_view> args, std::ostream& out,
                std::ostream& err) noexcept;

}  // namespace stemora
