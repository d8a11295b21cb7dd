// The tuner program: one window on the default sound devices. It takes no arguments of its own
// but --help and --version (Qt's platform arguments such as -platform aside) and keeps no
// settings.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "StemoraVersion.h"

#include "app/StemoraApplication.h"
#include "app/TunerForm.h"
#include "capture/PortAudioSound.h"

namespace {

constexpr const char* kHelpText =
    "usage: stemora [--help | --version]\n"
    "Chromatic tuner: shows the spectrum of the default sound input around a centre note\n"
    "picked on a piano keyboard, and around its octave. Its window is in Russian; see\n"
    "stemora(1) for how to read it.\n"
    "  --help     show this text\n"
    "  --version  print the program's version\n"
    "Qt's own options (such as -platform NAME) are accepted too.\n";

// --help and --version are answered before the application object exists, so that they work
// without a display. Returns the exit status, or -1 to go on and start the window.
int answerInformationalOption(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kHelpText, stdout);
        } else if (arg == "--version") {
            std::printf("stemora %s\n", stemora::StemoraVersion);
        } else {
            continue;
        }
        // A failed write (a full disk, a closed pipe) must not pass for an answer.
        return std::fflush(stdout) == 0 && std::ferror(stdout) == 0 ? EXIT_SUCCESS : EXIT_FAILURE;
    }
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace stemora;
    if (const int status = answerInformationalOption(argc, argv); status >= 0) {
        return status;
    }
    TStemoraApplication application(argc, argv);
    PortAudioBackend backend;
    PortAudioDeviceCheck deviceCheck(backend);
    TTunerForm form(backend, deviceCheck);
    TunerForm = &form;
    form.show();
    const int status = TStemoraApplication::exec();

    // The window has been closed, so its capture thread was told to stop. It normally ends
    // within one pass; one stuck in the sound library must not keep the program from ending.
    if (!form.WaitForCaptureThreads(std::chrono::seconds(2))) {
        std::fputs("Stemora: the capture thread did not end; exiting without it\n", stderr);
        std::fflush(nullptr);
        std::_Exit(status);
    }
    TunerForm = nullptr;
    return status;
}
