#include "CueOverlay.h"

#include <X11/Xutil.h>

#include <algorithm>
#include <cstdio>

namespace qvplay {

namespace {

constexpr const char* kFontFamily = "DejaVu Sans";
// Font pixel size = window height / kFontDivisor, within [kMinFontPixels, kMaxFontPixels].
constexpr int kFontDivisor = 18;
constexpr int kMinFontPixels = 12;
constexpr int kMaxFontPixels = 96;
// Padding inside the box and the gap between the box and the bottom edge, in font pixels / 4.
constexpr int kPaddingQuarters = 2;
constexpr int kBottomMarginQuarters = 4;
// The box colour: nearly black, so the white text stands out over any picture.
constexpr unsigned long kBoxRgb = 0x101010;
// Core fonts of the caption's pixel size; any size when the server has none of that size.
constexpr const char* kSizedCoreFontSet = "-*-*-medium-r-normal--%d-*-*-*-*-*-*-*,-*-*-*-*-*--%d-*-*-*-*-*-*-*";
constexpr const char* kCoreFontSet = "-*-*-medium-r-normal--*-*-*-*-*-*-*-*,*";
constexpr const char* kCoreFont = "fixed";
// Rows use at most this share of the window's width, in percent.
constexpr int kMaxWidthPercent = 90;
// At most this many fonts are opened for characters the main font lacks.
constexpr size_t kMaxFallbackFonts = 8;

// The code point of the UTF-8 character at `text[*i]`, advancing *i past it; invalid bytes
// come back as U+FFFD one at a time.
char32_t nextCodePoint(const std::string& text, size_t* i) {
    const auto c = static_cast<unsigned char>(text[*i]);
    const size_t len = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
    if (len == 0 || *i + len > text.size()) {
        ++*i;
        return 0xFFFD;
    }
    char32_t cp = len == 1 ? c : c & (0x7F >> len);
    for (size_t k = 1; k < len; ++k) cp = (cp << 6) | (static_cast<unsigned char>(text[*i + k]) & 0x3F);
    *i += len;
    return cp;
}

int fontPixelsFor(int height) { return std::clamp(height / kFontDivisor, kMinFontPixels, kMaxFontPixels); }

}  // namespace

void CueOverlay::close() {
    if (!mDisplay) return;
    releaseFont();
    if (mGc) XFreeGC(mDisplay, mGc);
    if (mWindow) XDestroyWindow(mDisplay, mWindow);
    mGc = nullptr;
    mWindow = 0;
    mDisplay = nullptr;
    mLines.clear();
}

bool CueOverlay::open(Display* display, Window parent, int width, int height) {
    mDisplay = display;
    mParent = parent;
    mParentWidth = std::max(1, width);
    mParentHeight = std::max(1, height);
    const int screen = DefaultScreen(display);
    XColor box{};
    box.red = static_cast<unsigned short>(((kBoxRgb >> 16) & 0xff) * 257);
    box.green = static_cast<unsigned short>(((kBoxRgb >> 8) & 0xff) * 257);
    box.blue = static_cast<unsigned short>((kBoxRgb & 0xff) * 257);
    mBackground = XAllocColor(display, DefaultColormap(display, screen), &box) ? box.pixel
                                                                                : BlackPixel(display, screen);
    mWindow = XCreateSimpleWindow(display, parent, 0, 0, 1, 1, 0, mBackground, mBackground);
    if (!mWindow) return false;
    XSelectInput(display, mWindow, ExposureMask);
    mGc = XCreateGC(display, mWindow, 0, nullptr);
    XSetForeground(display, mGc, WhitePixel(display, screen));
    XSetBackground(display, mGc, mBackground);
    loadFont();
    return true;
}

void CueOverlay::loadFont() {
    releaseFont();
    const int screen = DefaultScreen(mDisplay);
    mFontPixels = fontPixelsFor(mParentHeight);
    mXftFont = XftFontOpen(mDisplay, screen, XFT_FAMILY, XftTypeString, kFontFamily, XFT_PIXEL_SIZE, XftTypeDouble,
                           static_cast<double>(mFontPixels), nullptr);
    if (mXftFont) {
        mXftDraw = XftDrawCreate(mDisplay, mWindow, DefaultVisual(mDisplay, screen), DefaultColormap(mDisplay, screen));
        XRenderColor white{0xffff, 0xffff, 0xffff, 0xffff};
        mXftColorAllocated = XftColorAllocValue(mDisplay, DefaultVisual(mDisplay, screen),
                                                DefaultColormap(mDisplay, screen), &white, &mXftColor);
        if (mXftDraw && mXftColorAllocated) return;
        releaseFont();
    }
    char sized[256];
    snprintf(sized, sizeof(sized), kSizedCoreFontSet, mFontPixels, mFontPixels);
    for (const char* name : {static_cast<const char*>(sized), kCoreFontSet}) {
        char** missing = nullptr;
        int missingCount = 0;
        char* defaultText = nullptr;
        mFontSet = XCreateFontSet(mDisplay, name, &missing, &missingCount, &defaultText);
        if (missing) XFreeStringList(missing);
        if (mFontSet) break;
    }
    if (!mFontSet) mCoreFont = XLoadQueryFont(mDisplay, kCoreFont);
    if (mCoreFont) XSetFont(mDisplay, mGc, mCoreFont->fid);
}

void CueOverlay::releaseFont() {
    const int screen = DefaultScreen(mDisplay);
    if (mXftColorAllocated) {
        XftColorFree(mDisplay, DefaultVisual(mDisplay, screen), DefaultColormap(mDisplay, screen), &mXftColor);
        mXftColorAllocated = false;
    }
    for (XftFont* font : mFallbackFonts) XftFontClose(mDisplay, font);
    mFallbackFonts.clear();
    if (mXftDraw) XftDrawDestroy(mXftDraw);
    if (mXftFont) XftFontClose(mDisplay, mXftFont);
    if (mFontSet) XFreeFontSet(mDisplay, mFontSet);
    if (mCoreFont) XFreeFont(mDisplay, mCoreFont);
    mXftDraw = nullptr;
    mXftFont = nullptr;
    mFontSet = nullptr;
    mCoreFont = nullptr;
}

XftFont* CueOverlay::fontFor(char32_t codePoint) {
    if (XftCharExists(mDisplay, mXftFont, codePoint)) return mXftFont;
    for (XftFont* font : mFallbackFonts) {
        if (XftCharExists(mDisplay, font, codePoint)) return font;
    }
    if (mFallbackFonts.size() >= kMaxFallbackFonts) return mXftFont;
    // Ask fontconfig for the font nearest to ours that has the character.
    FcPattern* pattern = FcPatternCreate();
    FcCharSet* charset = FcCharSetCreate();
    FcCharSetAddChar(charset, codePoint);
    FcPatternAddString(pattern, FC_FAMILY, reinterpret_cast<const FcChar8*>(kFontFamily));
    FcPatternAddDouble(pattern, FC_PIXEL_SIZE, static_cast<double>(mFontPixels));
    FcPatternAddCharSet(pattern, FC_CHARSET, charset);
    FcCharSetDestroy(charset);
    FcResult result = FcResultNoMatch;
    FcPattern* match = XftFontMatch(mDisplay, DefaultScreen(mDisplay), pattern, &result);
    FcPatternDestroy(pattern);
    XftFont* font = match ? XftFontOpenPattern(mDisplay, match) : nullptr;  // takes `match`
    if (!font) {
        if (match) FcPatternDestroy(match);
        return mXftFont;
    }
    if (!XftCharExists(mDisplay, font, codePoint)) {
        XftFontClose(mDisplay, font);
        return mXftFont;  // no font has it: the main font's box shows there is something
    }
    mFallbackFonts.push_back(font);
    return font;
}

std::vector<CueOverlay::Run> CueOverlay::runs(const std::string& line) {
    std::vector<Run> out;
    for (size_t i = 0; i < line.size();) {
        const size_t start = i;
        const char32_t cp = nextCodePoint(line, &i);
        // White space goes with the run before it, so spaces do not split runs.
        XftFont* font = (cp == ' ' && !out.empty()) ? out.back().font : fontFor(cp);
        if (out.empty() || out.back().font != font) out.push_back({font, {}});
        out.back().text.append(line, start, i - start);
    }
    return out;
}

int CueOverlay::textWidth(const std::string& line) {
    if (mXftFont) {
        int width = 0;
        for (const Run& run : runs(line)) {
            XGlyphInfo extents{};
            XftTextExtentsUtf8(mDisplay, run.font, reinterpret_cast<const FcChar8*>(run.text.data()),
                               static_cast<int>(run.text.size()), &extents);
            width += extents.xOff;
        }
        return width;
    }
    if (mFontSet) {
        XRectangle ink{}, logical{};
        Xutf8TextExtents(mFontSet, line.data(), static_cast<int>(line.size()), &ink, &logical);
        return logical.width;
    }
    if (mCoreFont) return XTextWidth(mCoreFont, line.data(), static_cast<int>(line.size()));
    return 0;
}

int CueOverlay::ascent() const {
    if (mXftFont) return mXftFont->ascent;
    if (mFontSet) return -XExtentsOfFontSet(mFontSet)->max_logical_extent.y;
    if (mCoreFont) return mCoreFont->ascent;
    return 0;
}

int CueOverlay::lineHeight() const {
    if (mXftFont) return mXftFont->ascent + mXftFont->descent;
    if (mFontSet) return XExtentsOfFontSet(mFontSet)->max_logical_extent.height;
    if (mCoreFont) return mCoreFont->ascent + mCoreFont->descent;
    return 0;
}

void CueOverlay::show(const std::vector<std::string>& lines) {
    if (!mWindow) return;
    mLines = lines;
    if (mLines.empty()) {
        XUnmapWindow(mDisplay, mWindow);
        XSync(mDisplay, False);
        return;
    }
    layout();
    XMapRaised(mDisplay, mWindow);
    redraw();
}

std::vector<std::string> CueOverlay::wrap(const std::string& line, int maxWidth) {
    if (textWidth(line) <= maxWidth) return {line};
    // Pieces: words with the space after them; a word too wide on its own, character by character.
    std::vector<std::string> pieces;
    for (size_t i = 0; i < line.size();) {
        size_t end = line.find(' ', i);
        end = end == std::string::npos ? line.size() : end + 1;
        const std::string word = line.substr(i, end - i);
        if (textWidth(word) <= maxWidth) {
            pieces.push_back(word);
        } else {
            for (size_t k = 0; k < word.size();) {
                const size_t start = k;
                nextCodePoint(word, &k);
                pieces.push_back(word.substr(start, k - start));
            }
        }
        i = end;
    }
    std::vector<std::string> rows;
    std::string row;
    auto trimmed = [](std::string s) {
        while (!s.empty() && s.back() == ' ') s.pop_back();
        return s;
    };
    for (const std::string& piece : pieces) {
        if (!row.empty() && textWidth(trimmed(row + piece)) > maxWidth) {
            rows.push_back(trimmed(row));
            row.clear();
        }
        row += piece;
    }
    if (!trimmed(row).empty()) rows.push_back(trimmed(row));
    return rows;
}

void CueOverlay::layout() {
    const int padding = mFontPixels * kPaddingQuarters / 4;
    const int maxTextWidth = std::max(1, mParentWidth * kMaxWidthPercent / 100 - 2 * padding);
    mRows.clear();
    for (const std::string& line : mLines) {
        for (std::string& row : wrap(line, maxTextWidth)) mRows.push_back(std::move(row));
    }
    int widest = 0;
    for (const std::string& row : mRows) widest = std::max(widest, textWidth(row));
    const int width = std::min(mParentWidth, widest + 2 * padding);
    const int height = std::min(mParentHeight, lineHeight() * static_cast<int>(mRows.size()) + 2 * padding);
    const int x = (mParentWidth - width) / 2;
    const int y = std::max(0, mParentHeight - height - mFontPixels * kBottomMarginQuarters / 4);
    XMoveResizeWindow(mDisplay, mWindow, x, y, static_cast<unsigned>(std::max(1, width)),
                      static_cast<unsigned>(std::max(1, height)));
}

void CueOverlay::redraw() {
    if (!mWindow || mLines.empty()) return;
    XWindowAttributes attrs{};
    if (!XGetWindowAttributes(mDisplay, mWindow, &attrs)) return;
    XClearWindow(mDisplay, mWindow);
    const int padding = mFontPixels * kPaddingQuarters / 4;
    int baseline = padding + ascent();
    for (const std::string& line : mRows) {
        const int x = (attrs.width - textWidth(line)) / 2;
        const int length = static_cast<int>(line.size());
        if (mXftFont) {
            int runX = x;
            for (const Run& run : runs(line)) {
                const auto* bytes = reinterpret_cast<const FcChar8*>(run.text.data());
                const int runLength = static_cast<int>(run.text.size());
                XftDrawStringUtf8(mXftDraw, &mXftColor, run.font, runX, baseline, bytes, runLength);
                XGlyphInfo extents{};
                XftTextExtentsUtf8(mDisplay, run.font, bytes, runLength, &extents);
                runX += extents.xOff;
            }
        } else if (mFontSet) {
            Xutf8DrawString(mDisplay, mWindow, mFontSet, mGc, x, baseline, line.data(), length);
        } else if (mCoreFont) {
            XDrawString(mDisplay, mWindow, mGc, x, baseline, line.data(), length);
        }
        baseline += lineHeight();
    }
    XSync(mDisplay, False);
}

void CueOverlay::parentResized(int width, int height) {
    if (!mWindow || (width == mParentWidth && height == mParentHeight)) return;
    mParentWidth = std::max(1, width);
    mParentHeight = std::max(1, height);
    if (fontPixelsFor(mParentHeight) != mFontPixels) loadFont();
    if (!mLines.empty()) {
        layout();
        redraw();
    }
}

bool CueOverlay::handleEvent(const XEvent& event) {
    if (!mWindow || event.xany.window != mWindow) return false;
    if (event.type == Expose && event.xexpose.count == 0) redraw();
    return true;
}

}  // namespace qvplay
