// The caption on the video window: a child window at the bottom centre of the host's window that
// shows the current cue as white text on a dark box, one row per line of the cue (a line wider
// than the window is wrapped at spaces, or between characters where it has none).
//
// The video sink draws the picture into the host window with OpenGL; X clips that drawing
// around child windows, so the caption neither flickers against buffer swaps nor needs
// redrawing after each frame. With no cue the child is unmapped and the video shows through.
//
// Text is drawn with Xft (fontconfig's "DejaVu Sans", pixel size a fraction of the window
// height, reloaded when the height changes); characters that font lacks (Hangul, kana, Han)
// are drawn with the font fontconfig picks for them. When Xft finds no font at all the X core
// font set is used (Xutf8DrawString; it covers the characters of the process's LC_CTYPE locale),
// and the "fixed" core font with XDrawString as a last resort.
//
// Thread: one thread only, the one that owns the Display connection and reads its events (the
// host's main loop). Nothing here locks.
#pragma once

#include <X11/Xft/Xft.h>
#include <X11/Xlib.h>

#include <string>
#include <vector>

namespace qvplay {

class CueOverlay {
public:
    CueOverlay() = default;
    ~CueOverlay() { close(); }
    CueOverlay(const CueOverlay&) = delete;
    CueOverlay& operator=(const CueOverlay&) = delete;

    // Creates the (unmapped) caption window inside `parent`, which is width × height. False when
    // the window cannot be made; the overlay then does nothing.
    bool open(Display* display, Window parent, int width, int height);
    // Destroys the caption window and its fonts; call it before the display connection closes.
    void close();
    // The caption window's id (0 before open).
    Window id() const { return mWindow; }

    // Shows these lines (UTF-8), replacing what was shown; no lines hides the caption.
    void show(const std::vector<std::string>& lines);
    void hide() { show({}); }
    bool visible() const { return !mLines.empty(); }

    // The parent's new size: the caption keeps to the bottom centre and its font follows the height.
    void parentResized(int width, int height);
    // Handles the events meant for the caption window; true when `event` was one of them.
    bool handleEvent(const XEvent& event);

private:
    // A piece of a line that one font draws.
    struct Run {
        XftFont* font;
        std::string text;
    };
    void loadFont();
    void releaseFont();
    std::vector<Run> runs(const std::string& line);
    XftFont* fontFor(char32_t codePoint);
    int textWidth(const std::string& line);
    int lineHeight() const;
    int ascent() const;
    std::vector<std::string> wrap(const std::string& line, int maxWidth);
    void layout();
    void redraw();

    Display* mDisplay = nullptr;  // the host window's connection, not owned
    Window mParent = 0;
    Window mWindow = 0;           // owned: destroyed with the overlay
    int mParentWidth = 0, mParentHeight = 0;
    int mFontPixels = 0;          // the size the current font was loaded at
    XftFont* mXftFont = nullptr;
    std::vector<XftFont*> mFallbackFonts;  // opened for characters mXftFont lacks; owned
    XftDraw* mXftDraw = nullptr;
    XftColor mXftColor{};
    bool mXftColorAllocated = false;
    XFontSet mFontSet = nullptr;  // core font set, when Xft has no font
    XFontStruct* mCoreFont = nullptr;  // last resort
    GC mGc = nullptr;
    unsigned long mBackground = 0;
    std::vector<std::string> mLines;  // what is shown; empty when hidden
    std::vector<std::string> mRows;   // mLines wrapped to the window's width
};

}  // namespace qvplay
