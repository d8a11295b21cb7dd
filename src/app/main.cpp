// The tuner program: one window on the default sound devices. It takes no arguments of its own
// (Qt's platform arguments such as -platform aside) and keeps no settings.

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "app/StemoraApplication.h"
#include "app/TunerForm.h"
#include "capture/PortAudioSound.h"

int main(int argc, char** argv) {
    using namespace stemora;
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
