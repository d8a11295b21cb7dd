// Waits for the tuner's first drawn spectrum and prints when it appeared, for bench/load.sh.
//
//   first-spectrum PID START TIMEOUT_S
//
// PID is the tuner's process, START the wall-clock second (bash's $EPOCHREALTIME) just before
// it was exec'd. The helper finds the top-level window whose _NET_WM_PID is PID and grabs the
// rows of the lower spectrum chart over and over until a pixel shows a colour other than the
// chart's black background and its two marker colours. Grabbing with XGetImage from one
// process costs about a millisecond a frame, far less than a screenshot program started per
// poll, so the bounds it prints are tight. Output, in seconds since START:
//   window LOW HIGH        the window was first seen mapped between LOW and HIGH
//   spectrum LOW HIGH      the first spectrum pixels appeared between LOW and HIGH
//   pixel X Y R G B        the first such pixel, in client coordinates
//   grabs N                frames grabbed
// Exit status 0 when a spectrum was seen, 1 on timeout, 2 on bad use or no display.

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

// The lower spectrum chart within the window's client area (600 x 573).
constexpr int ChartLeft = 0;
constexpr int ChartTop = 249;
constexpr int ChartWidth = 600;
constexpr int ChartHeight = 222;

// Pauses between grabs, so the poller leaves the tuner (and the X server) most of the machine.
constexpr auto PollPause = std::chrono::milliseconds(2);

double Now() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

bool IsChartColour(unsigned long red, unsigned long green, unsigned long blue) {
    return (red == 0 && green == 0 && blue == 0) || (red == 0 && green == 40 && blue == 0) ||
           (red == 80 && green == 80 && blue == 80);
}

unsigned long WindowPid(Display* display, Window window, Atom pidAtom) {
    Atom type = None;
    int format = 0;
    unsigned long count = 0;
    unsigned long after = 0;
    unsigned char* data = nullptr;
    unsigned long pid = 0;
    if (XGetWindowProperty(display, window, pidAtom, 0, 1, False, XA_CARDINAL, &type, &format,
                           &count, &after, &data) == Success &&
        data != nullptr) {
        if (type == XA_CARDINAL && format == 32 && count == 1) {
            pid = *reinterpret_cast<unsigned long*>(data);
        }
    }
    if (data != nullptr) {
        XFree(data);
    }
    return pid;
}

// The mapped top-level window of PID that holds the whole chart, or None. Without a window
// manager the tuner's window is a direct child of the root.
Window FindWindow(Display* display, unsigned long pid, Atom pidAtom) {
    Window root = DefaultRootWindow(display);
    Window rootReturn = None;
    Window parent = None;
    Window* children = nullptr;
    unsigned int count = 0;
    if (XQueryTree(display, root, &rootReturn, &parent, &children, &count) == 0) {
        return None;
    }
    Window found = None;
    for (unsigned int i = 0; i < count && found == None; ++i) {
        XWindowAttributes attributes;
        if (XGetWindowAttributes(display, children[i], &attributes) == 0 ||
            attributes.map_state != IsViewable || attributes.width < ChartLeft + ChartWidth ||
            attributes.height < ChartTop + ChartHeight) {
            continue;
        }
        if (WindowPid(display, children[i], pidAtom) == pid) {
            found = children[i];
        }
    }
    if (children != nullptr) {
        XFree(children);
    }
    return found;
}

// Swallows BadMatch and BadWindow from a grab that races the window's unmapping.
int IgnoreErrors(Display*, XErrorEvent*) {
    return 0;
}

// Prints the first pixel that is not the empty chart's, so a run shows what it took for one.
bool HasSpectrum(XImage* image) {
    for (int y = 0; y < ChartHeight; ++y) {
        for (int x = 0; x < ChartWidth; ++x) {
            const unsigned long pixel = XGetPixel(image, x, y);
            const unsigned long red = (pixel & image->red_mask) >> 16;
            const unsigned long green = (pixel & image->green_mask) >> 8;
            const unsigned long blue = pixel & image->blue_mask;
            if (!IsChartColour(red, green, blue)) {
                std::printf("pixel %d %d %lu %lu %lu\n", ChartLeft + x, ChartTop + y, red, green,
                            blue);
                return true;
            }
        }
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fputs("usage: first-spectrum PID START TIMEOUT_S\n", stderr);
        return 2;
    }
    const unsigned long pid = std::stoul(argv[1]);
    const double start = std::stod(argv[2]);
    const double deadline = start + std::stod(argv[3]);

    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) {
        std::fputs("first-spectrum: cannot open the display\n", stderr);
        return 2;
    }
    if (DefaultDepth(display, DefaultScreen(display)) < 24) {
        std::fputs("first-spectrum: the display needs 24-bit colour\n", stderr);
        return 2;
    }
    XSetErrorHandler(IgnoreErrors);
    const Atom pidAtom = XInternAtom(display, "_NET_WM_PID", False);

    Window window = None;
    double lastMiss = start;
    while (window == None) {
        const double before = Now();
        window = FindWindow(display, pid, pidAtom);
        if (window == None) {
            lastMiss = before;
            if (Now() > deadline) {
                std::fputs("first-spectrum: no window\n", stderr);
                return 1;
            }
            std::this_thread::sleep_for(PollPause);
        }
    }
    std::printf("window %.4f %.4f\n", lastMiss - start, Now() - start);

    // The window was not yet mapped at lastMiss, so no spectrum could have been drawn then.
    long grabs = 0;
    for (;;) {
        // A frame's pixels are read some time during the call: a miss rules out only what
        // was drawn before the call began, a hit proves a spectrum by the time it returned.
        const double before = Now();
        XImage* image = XGetImage(display, window, ChartLeft, ChartTop, ChartWidth, ChartHeight,
                                  AllPlanes, ZPixmap);
        const double after = Now();
        ++grabs;
        if (image != nullptr) {
            const bool found = HasSpectrum(image);
            XDestroyImage(image);
            if (found) {
                std::printf("spectrum %.4f %.4f\ngrabs %ld\n", lastMiss - start, after - start,
                            grabs);
                XCloseDisplay(display);
                return 0;
            }
        }
        lastMiss = before;
        if (after > deadline) {
            std::printf("grabs %ld\n", grabs);
            std::fputs("first-spectrum: no spectrum before the timeout\n", stderr);
            XCloseDisplay(display);
            return 1;
        }
        std::this_thread::sleep_for(PollPause);
    }
}
