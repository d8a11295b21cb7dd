#include "AnalyseFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <exception>
#include <memory>

#include "AnalyseText.h"
#include "SoundFileReader.h"
#include "StemoraVersion.h"
#include "core/SampleBuffers.h"
#include "core/SpectrumAnalysis.h"
#include "core/TuningState.h"

namespace stemora {

namespace {

constexpr std::string_view kProgramPrefix = "stemora-analyse: ";
constexpr int32_t kTickMilliseconds = 63;

void appendDouble(std::string& line, double value) {
    // Shortest text that reads back to the same double; always the C locale.
    char digits[32];
    const auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value);
    (void)ec;
    line.append(digits, end);
}

void appendTick(std::string& line, int64_t milliseconds, const SpectrumResult& r, bool tsv) {
    line.clear();
    AppendSeconds(line, milliseconds);
    line.push_back('\t');
    if (!tsv) {
        line.append(r.CentreCaption);
        line.push_back('\t');
        line.append(r.AmpCaption);
    } else {
        AppendInt(line, r.SpecPeakBin - static_cast<int32_t>(CentreBin));
        line.push_back('\t');
        AppendInt(line, r.SpecHiPeakBin - static_cast<int32_t>(CentreBin));
        line.push_back('\t');
        appendDouble(line, r.SpecPeak);
        line.push_back('\t');
        appendDouble(line, r.SpecHiPeak);
        line.push_back('\t');
        appendDouble(line, r.Ratio);
        line.push_back('\t');
        AppendInt(line, r.SpecColour);
        line.push_back('\t');
        AppendInt(line, r.SpecHiColour);
        line.push_back('\t');
        line.push_back(r.SpecPlotted ? '1' : '0');
        line.push_back('\t');
        line.push_back(r.SpecHiPlotted ? '1' : '0');
    }
    line.push_back('\n');
}

void reportError(std::ostream& err, std::string_view message) {
    err << kProgramPrefix << message << '\n';
    err.flush();
}

// A terminal, a pipe or a socket: someone is reading the lines as they come.
bool isLiveOutput() {
    struct stat status {};
    return isatty(STDOUT_FILENO) == 1 || (fstat(STDOUT_FILENO, &status) == 0 &&
                                          (S_ISFIFO(status.st_mode) || S_ISSOCK(status.st_mode)));
}

volatile std::sig_atomic_t stopSignal = 0;
int silentInput = -1;

extern "C" void OnStopSignal(int signal) {
    const int savedErrno = errno;
    stopSignal = signal;
    // A read waiting on standard input (inside libsndfile, which retries interrupted reads)
    // now meets the end of the data instead.
    if (silentInput >= 0) {
        dup2(silentInput, STDIN_FILENO);
    }
    errno = savedErrno;
}

}  // namespace

void EndRunsOnStopSignals() {
    silentInput = open("/dev/null", O_RDONLY | O_CLOEXEC);
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    // A second signal ends the program the default way, should the first not get through.
    action.sa_flags = SA_RESETHAND;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

int StopSignal() noexcept {
    return stopSignal;
}

std::string_view AnalyseTsvHeader() {
    return "time_s\tspec_bin\tspechi_bin\tspec_peak\tspechi_peak\tratio\tspec_colour\t"
           "spechi_colour\tspec_plotted\tspechi_plotted";
}

int RunAnalysis(const AnalyseOptions& options, std::ostream& out, std::ostream& err) {
    std::string openError;
    const std::unique_ptr<SoundFileReader> reader =
        SoundFileReader::Open(options.Path, options.Raw, openError);
    if (!reader) {
        // A stop before the stream's header came ends the run as the end of the stream would.
        if (StopSignal() != 0) {
            return kAnalyseOk;
        }
        reportError(err, openError);
        return kAnalyseFileError;
    }
    const int32_t captureRate = reader->SampleRate();
    const double decimationRate = DecimationRateFor(options.NoteShift);

    auto buffers = std::make_unique<SampleBuffers>();
    auto analyser = std::make_unique<SpectrumAnalyser>();
    analyser->BuildWindowTable();
    buffers->ResetDecimators();

    // Sound that comes as it is played, or lines that someone watches, are written line by
    // line; otherwise a buffer of lines at a time.
    const bool lineByLine = reader->IsStream() || isLiveOutput();
    std::string line;
    if (options.Tsv) {
        out << AnalyseTsvHeader() << '\n';
        if (lineByLine) {
            out.flush();
        }
    }
    // Pass p covers the frames from floor(p * rate / 1000) to floor((p + 1) * rate / 1000), so
    // passes follow the file's rate exactly over any length.
    bool ended = false;
    for (int64_t pass = 0; !ended; ++pass) {
        if (pass % kTickMilliseconds == 0) {
            // A stop signal ends the run between ticks, after the last full line.
            if (StopSignal() != 0) {
                break;
            }
            // A read from a stream waits for all its frames: none past the coming tick.
            if (reader->IsStream()) {
                reader->HoldReadsAt((pass + kTickMilliseconds) * captureRate / 1000);
            }
        }
        const int64_t first = pass * captureRate / 1000;
        int64_t remaining = (pass + 1) * captureRate / 1000 - first;
        // At most one buffer per feed; very high rates split a pass into several feeds.
        do {
            const auto wanted =
                static_cast<int32_t>(std::min<int64_t>(remaining, kSampleBufferLength));
            const int32_t got = reader->Read(buffers->SampleBuffer(), wanted);
            buffers->FeedPass(captureRate, got, decimationRate);
            remaining -= got;
            ended = got < wanted;
        } while (remaining > 0 && !ended);
        if (!ended && (pass + 1) % kTickMilliseconds == 0) {
            analyser->PackFrames(buffers->Spec.Block(), buffers->SpecHi.Block());
            appendTick(line, pass + 1, analyser->AnalyseSpectra("."), options.Tsv);
            out << line;
            if (lineByLine) {
                out.flush();  // one write of the whole line
            }
        }
    }
    if (const std::string failure = reader->ReadFailure(); !failure.empty() && StopSignal() == 0) {
        out.flush();
        reportError(err, failure);
        return kAnalyseFileError;
    }
    out.flush();
    if (!out) {
        reportError(err, "could not write the results");
        return kAnalyseFileError;
    }
    if (const std::string warning = reader->DefectWarning(); !warning.empty()) {
        reportError(err, warning);
    }
    return kAnalyseOk;
}

int AnalyseMain(std::span<const std::string_view> args, std::ostream& out,
                std::ostream& err) noexcept {
    try {
        const ParsedArguments parsed = ParseAnalyseArguments(args);
        if (parsed.Help || parsed.Version) {
            if (parsed.Help) {
                out << AnalyseHelp();
            } else {
                out << "stemora-analyse " << StemoraVersion << '\n';
            }
            out.flush();
            return out ? kAnalyseOk : kAnalyseFileError;
        }
        if (!parsed.Options) {
            reportError(err, parsed.Error);
            return kAnalyseUsageError;
        }
        return RunAnalysis(*parsed.Options, out, err);
    } catch (const std::exception& e) {
        try {
            reportError(err, e.what());
        } catch (...) {
        }
    } catch (...) {
    }
    return kAnalyseFileError;
}

}  // namespace stemora
