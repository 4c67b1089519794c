// The OpenGL picture output: three luminance textures (Y, U, V) drawn by one shader program that
// converts to RGB and applies brightness, saturation and contrast, on the host's X11 window
// through GLX. The context is current only inside init() and render(). Planes are uploaded with
// their own row strides (GL_UNPACK_ROW_LENGTH), so pictures of any width and padding draw right.
//
// Thread: init and render run on the engine's playback queue thread, one at a time; the context
// and every field below belong to that thread. The picture controls inherited from VideoSinkBase
// are set from the host's thread and read once per render.
#pragma once

#include <GL/glew.h>
#include <GL/glx.h>

#include "platform/linux/VideoSinkBase.h"

namespace velmor {

class VideoSinkOpenGL : public VideoSinkBase {
public:
    // window: an X11 Window id. The sink opens its own display connection.
    explicit VideoSinkOpenGL(unsigned long window);
    ~VideoSinkOpenGL() override;

    // Returns 0x80000001 (the sink's OpenGL failure) when the decoded size exceeds the
    // driver's GL_MAX_TEXTURE_SIZE, or the context cannot be made.
    status_t init(const char* componentName, int displayWidth, int displayHeight, int decodedWidth,
                  int decodedHeight, int colorFormat, int rotationDegrees) override;
    void render(const Picture& picture) override;

    struct Viewport {
        int x, y, width, height;
    };
    // The viewport for a window of windowW x windowH (margins included in it), in OpenGL's
    // lower-left origin convention.
    static Viewport computeViewport(int scaleMode, int windowW, int windowH, int bottomMargin, int rightMargin,
                                    int decodedW, int decodedH, int aspectNum, int aspectDen);

    static const char* const kVertexShader;
    static const char* const kFragmentShader;

private:
    void releaseContext();
    void destroyContext();
    GLuint createProgram(const char* vertexSource, const char* fragmentSource);
    GLuint loadShader(GLenum type, const char* source);
    bool checkGlError(const char* label);

    Display* mDisplay;            // the sink's own connection (stands for the window's device context)
    GLXContext mContext;          // none until init
    Window mWindow;
    GLXFBConfig mConfig;
    GLuint mProgram;
    GLint mPositionHandle;        // attribute vPosition
    GLint mTexCoordHandle;        // attribute vTexCord
    GLuint mTextures[3];          // Y, U, V
    int mDisplayWidth, mDisplayHeight;
};

}  // namespace velmor
