// The player base class family: the notification target and the two output interfaces.
#pragma once

#include <cstdint>

#include "utils/Errors.h"
#include "utils/Mutex.h"
#include "utils/Payload.h"
#include "utils/RefCounted.h"

namespace velmor {

// Receives every notification the engine raises. UiPlayerListener implements it.
class PlayerListener : virtual public RefCounted {
public:
    virtual void notify(int32_t msg, int32_t ext1, int32_t ext2, const Payload* obj) = 0;
};

typedef void (*notify_callback_f)(void* cookie, int32_t msg, int32_t ext1, int32_t ext2, const Payload* obj);

class PlayerBase : public RefCounted {
public:
    class AudioSink;
    class VideoSink;

    PlayerBase();
    ~PlayerBase() override;

    virtual status_t setListener(const Ref<PlayerListener>& listener);
    virtual bool isAutoLooping() { return mAutoLoop; }

    // Delivers one event to the callback or, when none is set, to the listener.
    void sendEvent(int32_t msg, int32_t ext1 = 0, int32_t ext2 = 0, const Payload* obj = nullptr);

protected:
    Mutex mNotifyLock;
    void* mCookie;
    notify_callback_f mNotify;
    Ref<PlayerListener> mListener;
    bool mAutoLoop;
};

// The engine's only path to the sound card. Works in pull mode: the sink's own thread asks the
// callback for PCM.
//
// Threads:
// - Every operation is called from the engine's threads (its queue, the audio player's caller,
//   the host's thread for volume and effects); the sink serialises them itself. None waits for
//   the device for long: open may wait for a sound server to answer; stop and pause wait for the
//   fill thread to finish its current pass (at most one fill callback and a few 10 ms waits for
//   space); close also ends the fill thread. A lost or stuck device never makes them wait longer.
// - The callback runs only on the sink's fill thread. It may block on its own source (it is the
//   one pull of the engine) but must not call stop, pause, close, open or flush of this sink
//   (they wait for the fill thread); it may call the queries (getPosition, latency, ready,
//   isBufferLost, delaysEndOfStream). It must not hold a lock that those operations' callers
//   take while they call in. After close returns the callback is not called again.
// - isBufferLost may be polled from any thread. It turns true when the fill thread stopped
//   because the device is gone: writing failed and reopening the device kept failing (a card
//   removed, a sound server that died), or, with the lost-buffer check on (setVolume's second
//   argument 1), the device reported no space for 5 s. The fill thread then parks; start wakes it
//   again, clears the flag and reopens the device; close ends it. The owner learns of the loss by
//   polling (the engine reports MEDIA_ERROR -1017).
class PlayerBase::AudioSink : public RefCounted {
public:
    enum CallbackEvent { CB_EVENT_FILL_BUFFER = 0, CB_EVENT_STREAM_END = 1, CB_EVENT_TEAR_DOWN = 2 };
    // Returns the number of bytes written for a fill request, or ERROR_END_OF_STREAM.
    typedef int (*AudioCallback)(AudioSink* sink, void* buffer, uint32_t size, void* cookie, int event);

    virtual bool ready() const = 0;
    virtual bool realtime() const = 0;
    virtual int bufferSize() const = 0;
    virtual int frameCount() const = 0;
    virtual int channelCount() const = 0;
    virtual int frameSize() const = 0;
    virtual uint32_t latency() const = 0;
    virtual float msecsPerFrame() const = 0;
    virtual status_t getPosition(uint32_t* position) const = 0;
    virtual int getSessionId() const = 0;
    virtual int reserved() { return 0; }
    virtual status_t open(uint32_t sampleRate, int channelCount, int format, int bufferCount,
                          AudioCallback cb, void* cookie) = 0;
    virtual void start() = 0;
    virtual int write(const void* buffer, size_t size) = 0;
    virtual void stop() = 0;
    virtual void flush() = 0;
    virtual void pause() = 0;
    virtual void close() = 0;
    // volume 0..100. checkLostBuffer: 1 turns the lost-device check on, 0 off, any other value
    // (open passes -1) leaves it as it is.
    virtual void setVolume(int volume, int checkLostBuffer) = 0;
    virtual bool isBufferLost() const = 0;
    // Rate in millihertz.
    virtual status_t setPlaybackRate(uint32_t rateMilliHz) = 0;
    virtual bool delaysEndOfStream() const = 0;
    // 0 none, 1 equaliser, 2 compressor.
    virtual void setEffect(int effect) { (void)effect; }
};

// The engine's picture output: initialised once per video format, then given every decoded
// picture as planar YUV 4:2:0 described by a Picture (plane pointers and row strides).
//
// Threads: the engine's playback queue thread calls init and render (and the redraw path, which
// also calls render), one call at a time, never concurrently with each other. The picture
// controls (setBrightness, setSaturation, setContrast, setScaleMode, setAspectRatio,
// setMargins, setViewOffset, setOption, setSurfaceArea) come from the host's thread through the
// player and may arrive while render runs: a sink reads them once per render and tolerates a
// value that changes half-way (they are plain ints, no lock). setRenderCallback is called
// before the first render. The render callback runs on the thread that called render, after
// the picture is shown; it may only record or post the event (it must not call back into the
// sink or the player, which may hold the engine's lock).
// render must not keep the Picture's pointers after it returns (the buffer behind them goes
// back to the decoder), must not block on anything but the display server, and must not
// take engine locks.
class PlayerBase::VideoSink : public RefCounted {
public:
    typedef void (*RenderCallback)(void* cookie, int event);

    // One YUV 4:2:0 picture: Y, U and V planes, each row strides[i] bytes after the previous
    // one (a stride may be larger than the plane's width: decoders pad rows). The chroma planes
    // are (width + 1) / 2 x (height + 1) / 2. Valid only during the render call.
    struct Picture {
        const uint8_t* planes[3];
        int32_t strides[3];
        int32_t width, height;
    };

    virtual status_t init(const char* componentName, int displayWidth, int displayHeight, int decodedWidth,
                          int decodedHeight, int colorFormat, int rotationDegrees) = 0;
    virtual void render(const Picture& picture) = 0;
    virtual void setRenderCallback(RenderCallback cb, void* cookie) = 0;
    virtual void getSurfaceInfo(int* a, int* b, int* c) { (void)a; (void)b; (void)c; }
    virtual void setBrightness(int v) = 0;
    virtual void setSaturation(int v) = 0;
    virtual void setContrast(int v) = 0;
    virtual void setScaleMode(int mode) = 0;
    virtual void setAspectRatio(int numerator, int denominator) = 0;
    virtual bool setViewOffset(int x, int y) = 0;
    virtual bool captureSnapshot(const wchar_t* path) = 0;
    // The two-value configuration the host sets through the player object: the margins in pixels.
    virtual void setMargins(int bottom, int right) = 0;
    // Host surface hints; sinks that draw into the whole window ignore them.
    virtual status_t setSurfaceArea(int a, int b) { (void)a; (void)b; return OK; }
    virtual status_t setSurfaceArea(int a, int b, int c) { (void)a; (void)b; (void)c; return OK; }
    // A sink-specific option; true when the sink accepted it.
    virtual bool setOption(int value) { (void)value; return false; }
};

}  // namespace velmor
