// Renders N frames of raw YUV 4:2:0 through one video sink into a real window and reports frames
// per second, the process's CPU time per frame and the X server's CPU time per frame.
//
//   bench_sinks --sink gl|x11|x11-noshm --file clip.yuv --width 1920 --height 1080 --frames 600 [--xserver-pid PID]
//
// Prints one line: "<sink> frames=<n> seconds=<s> fps=<f> cpu_ms_per_frame=<c> xserver_ms_per_frame=<x>".
#include <X11/Xlib.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/linux/SinkFactory.h"
#include "platform/linux/VideoSinkX11.h"
#include "utils/Log.h"

using namespace velmor;

namespace {

double cpuSeconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// User + system time of another process from /proc/<pid>/stat, in seconds (-1 when unknown).
double processCpuSeconds(long pid) {
    if (pid <= 0) return -1;
    std::string path = "/proc/" + std::to_string(pid) + "/stat";
    FILE* f = fopen(path.c_str(), "r");
    if (!f) return -1;
    char buf[1024];
    size_t n = fread(buf, 1, sizeof(buf) - 1, f);
    fclose(f);
    buf[n] = 0;
    const char* p = strrchr(buf, ')');
    if (!p) return -1;
    unsigned long utime = 0, stime = 0;
    // Fields after the command: state(3) ... utime(14) stime(15).
    if (sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime) != 2) return -1;
    return static_cast<double>(utime + stime) / sysconf(_SC_CLK_TCK);
}

void quietLog(const char*, int) {}

}  // namespace

int main(int argc, char** argv) {
    std::string sinkName = "gl", file;
    int width = 1920, height = 1080, frames = 600;
    long xserverPid = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string a = argv[i];
        if (a == "--sink") sinkName = argv[i + 1];
        else if (a == "--file") file = argv[i + 1];
        else if (a == "--width") width = atoi(argv[i + 1]);
        else if (a == "--height") height = atoi(argv[i + 1]);
        else if (a == "--frames") frames = atoi(argv[i + 1]);
        else if (a == "--xserver-pid") xserverPid = atol(argv[i + 1]);
    }
    const size_t frameBytes = static_cast<size_t>(width) * height * 3 / 2;
    int fd = open(file.c_str(), O_RDONLY);
    struct stat st{};
    if (fd < 0 || fstat(fd, &st) != 0 || static_cast<size_t>(st.st_size) < frameBytes) {
        fprintf(stderr, "bench_sinks: cannot read frames from '%s'\n", file.c_str());
        return 2;
    }
    size_t available = static_cast<size_t>(st.st_size) / frameBytes;
    auto* data = static_cast<const uint8_t*>(mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_SHARED, fd, 0));
    if (data == MAP_FAILED) return 2;
    // Bring the clip into memory first so that reading it does not count as rendering.
    uint8_t touched = 0;
    for (size_t off = 0; off < static_cast<size_t>(st.st_size); off += 4096) touched ^= data[off];
    if (touched == 0xff) fprintf(stderr, " ");  // keeps the loop from being optimised away

    Display* dpy = XOpenDisplay(nullptr);
    if (!dpy) {
        fprintf(stderr, "bench_sinks: no X display\n");
        return 2;
    }
    int screen = DefaultScreen(dpy);
    XSetWindowAttributes attrs{};
    attrs.background_pixel = BlackPixel(dpy, screen);
    attrs.event_mask = StructureNotifyMask;
    Window win = XCreateWindow(dpy, RootWindow(dpy, screen), 0, 0, static_cast<unsigned>(width),
                               static_cast<unsigned>(height), 0, DefaultDepth(dpy, screen), InputOutput,
                               DefaultVisual(dpy, screen), CWBackPixel | CWEventMask, &attrs);
    XMapWindow(dpy, win);
    XEvent ev;
    do XWindowEvent(dpy, win, StructureNotifyMask, &ev);
    while (ev.type != MapNotify);
    XSync(dpy, False);

    setLogSink(&quietLog);
    Ref<PlayerBase::VideoSink> videoSink;
    if (sinkName == "x11-noshm") {
        videoSink = new VideoSinkX11(win, width, height, false);  // XPutImage, as without shared memory
    } else {
        videoSink = CreatePlatformVideoSink(win, sinkName == "gl" ? 1 : 0, width, height);
    }
    if (videoSink->init("video/raw", width, height, width, height, 0, 0) != OK) {
        fprintf(stderr, "bench_sinks: %s sink init failed\n", sinkName.c_str());
        return 1;
    }
    videoSink->setScaleMode(1);
    // One frame outside the measurement: first-use costs (shader compile, allocations).
    // Tightly packed frames: the layout record points into the mapped file.
    const size_t lumaBytes = static_cast<size_t>(width) * height;
    auto pictureAt = [&](const uint8_t* frame) {
        return PlayerBase::VideoSink::Picture{{frame, frame + lumaBytes, frame + lumaBytes + lumaBytes / 4},
                                              {width, width / 2, width / 2},
                                              width,
                                              height};
    };
    videoSink->render(pictureAt(data));

    double cpu0 = cpuSeconds();
    double x0 = processCpuSeconds(xserverPid);
    int64_t t0 = systemTime();
    for (int i = 0; i < frames; ++i) videoSink->render(pictureAt(data + (static_cast<size_t>(i) % available) * frameBytes));
    XSync(dpy, False);
    double seconds = (systemTime() - t0) / 1e9;
    double cpu = cpuSeconds() - cpu0;
    double x1 = processCpuSeconds(xserverPid);
    double xms = (x0 >= 0 && x1 >= 0) ? (x1 - x0) * 1000.0 / frames : -1.0;
    printf("%s frames=%d seconds=%.3f fps=%.1f cpu_ms_per_frame=%.2f xserver_ms_per_frame=%.2f\n",
           ("quorvantix-" + sinkName).c_str(), frames, seconds, frames / seconds,
           cpu * 1000.0 / frames, xms);
    videoSink.clear();
    setLogSink(nullptr);
    XDestroyWindow(dpy, win);
    XCloseDisplay(dpy);
    munmap(const_cast<uint8_t*>(data), static_cast<size_t>(st.st_size));
    close(fd);
    return 0;
}
