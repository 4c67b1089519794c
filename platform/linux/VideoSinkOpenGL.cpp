#include "platform/linux/VideoSinkOpenGL.h"

#include <cstdlib>

#include "platform/linux/X11Support.h"
#include "utils/Log.h"

#define LOG_TAG "VEL_VideoSinkOpenGL"

namespace velmor {

const char* const VideoSinkOpenGL::kVertexShader =
    "attribute vec4 vPosition;\n"
    "attribute vec2 vTexCord;\n"
    "varying vec2 v_texCord;\n"
    "void main() {\n"
    "  gl_Position = vPosition;\n"
    "  v_texCord = vTexCord;\n"
    "}\n";

const char* const VideoSinkOpenGL::kFragmentShader =
    "varying vec2 v_texCord;\n"
    "uniform float v_Saturation;\n"
    "uniform float v_Brightness;\n"
    "uniform float v_Contrast;\n"
    "uniform sampler2D y_texture;\n"
    "uniform sampler2D u_texture;\n"
    "uniform sampler2D v_texture;\n"
    "vec3 ContrastSaturationBrightness(vec3 color) \n"
    "{ \n"
    "\tfloat sat = v_Saturation / 50.0; \n"
    "\tfloat brt = v_Brightness / 50.0; \n"
    "\tfloat con = v_Contrast / 50.0; \n"
    "\tfloat AvgLumR = 0.5; \n"
    "\tfloat AvgLumG = 0.5; \n"
    "\tfloat AvgLumB = 0.5; \n"
    "\tvec3 LumCoeff = vec3(0.2125, 0.7154, 0.0721); \n"
    "\tvec3 AvgLumin = vec3(AvgLumR, AvgLumG, AvgLumB);\n"
    "\tvec3 brtColor = color.rgb * brt; \n"
    "\tfloat dot_intensity = dot(brtColor, LumCoeff); \n"
    "\tvec3 intensity = vec3(dot_intensity, dot_intensity, dot_intensity); \n"
    "\tvec3 satColor = mix(intensity, brtColor, sat); \n"
    "\tvec3 conColor = mix(AvgLumin, satColor, con); \n"
    "\tcolor.rgb = conColor;\t \n"
    "\treturn color; \n"
    "}\t \n"
    "void main (void)\n"
    "{\n"
    "    vec3 yuv;\n"
    "    vec3 rgb;\n"
    "    yuv.x = texture2D( y_texture, v_texCord ).r;\n"
    "    yuv.y = texture2D( u_texture, v_texCord ).r-0.5;\n"
    "    yuv.z = texture2D( v_texture, v_texCord ).r-0.5;\n"
    "    rgb.r = yuv.x + 1.5958 * yuv.z;\n"
    "    rgb.g = yuv.x - 0.39173 * yuv.y - 0.81290 * yuv.z;\n"
    "    rgb.b = yuv.x + 2.017 * yuv.y;\n"
    "    rgb = ContrastSaturationBrightness(rgb);\n"
    "    gl_FragColor = vec4(rgb,1.0);\n"
    "}";

namespace {
const GLfloat kQuadPositions[] = {-1.0f, 1.0f, 1.0f, 1.0f, 1.0f, -1.0f, -1.0f, -1.0f};
const GLfloat kQuadTexCoords[] = {0.0f, 0.0f, 1.0f, 0.0f, 1.0f, 1.0f, 0.0f, 1.0f};
const GLushort kQuadIndices[] = {0, 1, 2, 0, 2, 3};
constexpr status_t kGlFailure = BAD_TYPE;  // 0x80000001: every OpenGL failure of this sink
}  // namespace

VideoSinkOpenGL::VideoSinkOpenGL(unsigned long window)
    : mDisplay(OpenSinkDisplay()), mContext(nullptr), mWindow(static_cast<Window>(window)), mConfig(nullptr),
      mProgram(0), mPositionHandle(-1), mTexCoordHandle(-1), mTextures{0, 0, 0}, mDisplayWidth(0),
      mDisplayHeight(0) {
    if (mDisplay == nullptr) VLOGE("no X display: the sink cannot draw");
}

VideoSinkOpenGL::~VideoSinkOpenGL() {
    destroyContext();
    CloseSinkDisplay(mDisplay);
}

void VideoSinkOpenGL::releaseContext() {
    if (mDisplay != nullptr) glXMakeCurrent(mDisplay, None, nullptr);
}

void VideoSinkOpenGL::destroyContext() {
    if (mDisplay == nullptr || mContext == nullptr) return;
    if (glXGetCurrentContext() == mContext) releaseContext();
    glXDestroyContext(mDisplay, mContext);
    mContext = nullptr;
    mProgram = 0;
}

bool VideoSinkOpenGL::checkGlError(const char* label) {
    GLenum error = glGetError();
    if (error != GL_NO_ERROR) {
        VLOGE("[ checkGlError after %s() glError (0x%x)]", label, error);
        return false;
    }
    return true;
}

GLuint VideoSinkOpenGL::loadShader(GLenum type, const char* source) {
    GLuint shader = glCreateShader(type);
    if (shader == 0) return 0;
    glShaderSource(shader, 1, &source, nullptr);
    glCompileShader(shader);
    GLint compiled = 0;
    glGetShaderiv(shader, GL_COMPILE_STATUS, &compiled);
    if (!compiled) {
        GLint length = 0;
        glGetShaderiv(shader, GL_INFO_LOG_LENGTH, &length);
        if (length > 0) {
            char* text = static_cast<char*>(malloc(static_cast<size_t>(length)));
            if (text != nullptr) {
                glGetShaderInfoLog(shader, length, nullptr, text);
                VLOGE("loadShader COUND NOT COMPILE SHADER %d:\n%s", static_cast<int>(type), text);
                free(text);
            }
            glDeleteShader(shader);
            shader = 0;
        }
    }
    return shader;
}

GLuint VideoSinkOpenGL::createProgram(const char* vertexSource, const char* fragmentSource) {
    GLuint vertex = loadShader(GL_VERTEX_SHADER, vertexSource);
    if (vertex == 0) return 0;
    GLuint fragment = loadShader(GL_FRAGMENT_SHADER, fragmentSource);
    if (fragment == 0) {
        glDeleteShader(vertex);
        return 0;
    }
    GLuint program = glCreateProgram();
    if (program != 0) {
        glAttachShader(program, vertex);
        checkGlError("glAttachShader");
        glAttachShader(program, fragment);
        checkGlError("glAttachSahder");
        glLinkProgram(program);
        GLint linked = GL_FALSE;
        glGetProgramiv(program, GL_LINK_STATUS, &linked);
        if (linked != GL_TRUE) {
            GLint length = 0;
            glGetProgramiv(program, GL_INFO_LOG_LENGTH, &length);
            if (length > 0) {
                char* text = static_cast<char*>(malloc(static_cast<size_t>(length)));
                if (text != nullptr) {
                    glGetProgramInfoLog(program, length, nullptr, text);
                    VLOGE("createProgram COULD NOT LINK PROGRAM: \n%s", text);
                    free(text);
                }
            }
            glDeleteProgram(program);
            program = 0;
        }
    }
    // The program keeps the compiled stages alive while it exists.
    glDeleteShader(vertex);
    glDeleteShader(fragment);
    return program;
}

status_t VideoSinkOpenGL::init(const char* componentName, int displayWidth, int displayHeight, int decodedWidth,
                               int decodedHeight, int colorFormat, int rotationDegrees) {
    (void)componentName;
    (void)colorFormat;
    (void)rotationDegrees;
    if (mDisplay == nullptr) {
        VLOGE("init: no X display");
        return NO_INIT;
    }
    // A new format gets a new context and program on the same window.
    destroyContext();

    // The window's visual decides the frame buffer configuration: RGBA, 24 colour bits, a depth
    // buffer, double buffered.
    ClearX11Error(mDisplay);
    XWindowAttributes attrs;
    if (!XGetWindowAttributes(mDisplay, mWindow, &attrs) || TakeX11Error(mDisplay) != 0) {
        VLOGE("init: window 0x%lx is not usable", static_cast<unsigned long>(mWindow));
        return NO_INIT;
    }
    int screen = XScreenNumberOfScreen(attrs.screen);
    const int depthChoices[] = {32, 24, 16, 0};
    mConfig = nullptr;
    for (int depth : depthChoices) {
        const int attribs[] = {GLX_X_RENDERABLE, True, GLX_DRAWABLE_TYPE, GLX_WINDOW_BIT, GLX_RENDER_TYPE, GLX_RGBA_BIT,
                               GLX_DOUBLEBUFFER, True, GLX_RED_SIZE, 8, GLX_GREEN_SIZE, 8, GLX_BLUE_SIZE, 8,
                               GLX_DEPTH_SIZE, depth, None};
        int count = 0;
        GLXFBConfig* configs = glXChooseFBConfig(mDisplay, screen, attribs, &count);
        for (int i = 0; configs != nullptr && i < count && mConfig == nullptr; ++i) {
            int visualId = 0;
            glXGetFBConfigAttrib(mDisplay, configs[i], GLX_VISUAL_ID, &visualId);
            if (static_cast<VisualID>(visualId) == XVisualIDFromVisual(attrs.visual)) mConfig = configs[i];
        }
        if (configs != nullptr) XFree(configs);
        if (mConfig != nullptr) break;
    }
    if (mConfig == nullptr) {
        VLOGE("init: no GLX frame buffer configuration for the window's visual 0x%lx",
              static_cast<unsigned long>(XVisualIDFromVisual(attrs.visual)));
        return NO_INIT;
    }

    mContext = glXCreateNewContext(mDisplay, mConfig, GLX_RGBA_TYPE, nullptr, True);
    if (mContext == nullptr || TakeX11Error(mDisplay) != 0) {
        VLOGE("init: glXCreateNewContext failed");
        if (mContext != nullptr) glXDestroyContext(mDisplay, mContext);
        mContext = nullptr;
        return NO_INIT;
    }
    if (!glXMakeCurrent(mDisplay, mWindow, mContext) || TakeX11Error(mDisplay) != 0) {
        VLOGE("init: glXMakeCurrent failed");
        releaseContext();
        destroyContext();
        return NO_INIT;
    }

    glewExperimental = GL_TRUE;
    GLenum glewStatus = glewInit();
    if (glewStatus != GLEW_OK) {
        VLOGE("init: glewInit: %s", reinterpret_cast<const char*>(glewGetErrorString(glewStatus)));
        releaseContext();
        destroyContext();
        return NO_INIT;
    }
    // Entry-point loading may leave an error behind that is not ours to report.
    while (glGetError() != GL_NO_ERROR) {
    }

    const char* version = reinterpret_cast<const char*>(glGetString(GL_VERSION));
    double versionNumber = version != nullptr ? atof(version) : 0.0;
    VLOGI("init: OpenGL %s", version != nullptr ? version : "(none)");
    if (versionNumber < 2.1) {
        releaseContext();
        return kGlFailure;
    }

    // Each plane is one texture: a picture wider or taller than the driver's largest texture
    // cannot be drawn.
    GLint maxTexture = 0;
    glGetIntegerv(GL_MAX_TEXTURE_SIZE, &maxTexture);
    if (decodedWidth <= 0 || decodedHeight <= 0 || decodedWidth > maxTexture || decodedHeight > maxTexture) {
        VLOGE("init: picture %dx%d does not fit the largest texture (%d)", decodedWidth, decodedHeight, maxTexture);
        releaseContext();
        destroyContext();
        return kGlFailure;
    }

    mProgram = createProgram(kVertexShader, kFragmentShader);
    status_t result = OK;
    mPositionHandle = glGetAttribLocation(mProgram, "vPosition");
    if (!checkGlError("glGetAttribLocation")) result = kGlFailure;
    if (result == OK) {
        mTexCoordHandle = glGetAttribLocation(mProgram, "vTexCord");
        if (!checkGlError("glGetAttribLocation")) result = kGlFailure;
    }
    if (result == OK) {
        glGenTextures(3, mTextures);
        if (!checkGlError("glGenTextures")) result = kGlFailure;
    }
    if (result == OK) {
        glUseProgram(mProgram);
        if (!checkGlError("glUseProgram")) result = kGlFailure;
    }
    if (result != OK) {
        if (mProgram != 0) glDeleteProgram(mProgram);
        mProgram = 0;
        releaseContext();
        return result;
    }
    releaseContext();

    mDisplayWidth = displayWidth;
    mDisplayHeight = displayHeight;
    setDecodedSize(decodedWidth, decodedHeight);
    return OK;
}

VideoSinkOpenGL::Viewport VideoSinkOpenGL::computeViewport(int scaleMode, int windowW, int windowH, int bottomMargin,
                                                           int rightMargin, int decodedW, int decodedH, int aspectNum,
                                                           int aspectDen) {
    int usableW = windowW - rightMargin;
    int usableH = windowH - bottomMargin;
    Viewport vp{0, 0, usableW, usableH};
    if (scaleMode == 1) {
        // Stretched over the usable area.
    } else if (scaleMode == 2) {
        // Fills one dimension of the whole window, anchored at the lower-left corner.
        float ratio = static_cast<float>(decodedW) / static_cast<float>(decodedH);
        if (ratio <= 1.0f) {
            vp.width = windowW;
            vp.height = static_cast<int>(decodedH * (static_cast<float>(windowW) / decodedW));
        } else {
            vp.width = static_cast<int>(decodedW * (static_cast<float>(windowH) / decodedH));
            vp.height = windowH;
        }
    } else {
        if (aspectNum <= 0 || aspectDen <= 0) {
            aspectNum = decodedW;
            aspectDen = decodedH;
        }
        double aspect = static_cast<double>(aspectNum) / aspectDen;
        if (aspect * usableH < usableW) {
            vp.height = usableH & ~3;
            vp.width = static_cast<int>(usableH * aspect) & ~3;
            vp.x = (usableW - vp.width) / 2;
        } else {
            vp.width = usableW & ~3;
            vp.height = static_cast<int>(static_cast<double>(usableW) * aspectDen / aspectNum) & ~3;
            vp.y = (usableH - vp.height) / 2;
        }
    }
    vp.y += bottomMargin;
    return vp;
}

void VideoSinkOpenGL::render(const Picture& picture) {
    if (mProgram == 0 || mContext == nullptr || picture.planes[0] == nullptr) return;
    if (!glXMakeCurrent(mDisplay, mWindow, mContext)) return;
    glUseProgram(mProgram);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);

    // A window that went away only records an X error (see X11Support).
    XWindowAttributes attrs;
    bool haveWindow = XGetWindowAttributes(mDisplay, mWindow, &attrs) != 0;
    const int w = picture.width;
    const int h = picture.height;
    if (haveWindow && w > 0 && h > 0) {
        Viewport vp = computeViewport(mScaleMode, attrs.width, attrs.height, mBottomMargin, mRightMargin, w, h,
                                      mAspectNum, mAspectDen);
        glViewport(vp.x, vp.y, vp.width, vp.height);

        glUniform1f(glGetUniformLocation(mProgram, "v_Brightness"), static_cast<float>(mBrightness));
        glUniform1f(glGetUniformLocation(mProgram, "v_Saturation"), static_cast<float>(mSaturation));
        glUniform1f(glGetUniformLocation(mProgram, "v_Contrast"), static_cast<float>(mContrast));

        const int widths[3] = {w, (w + 1) / 2, (w + 1) / 2};
        const int heights[3] = {h, (h + 1) / 2, (h + 1) / 2};
        const char* samplers[3] = {"y_texture", "u_texture", "v_texture"};
        glEnable(GL_TEXTURE_2D);
        for (int i = 0; i < 3; ++i) {
            glActiveTexture(GL_TEXTURE0 + i);
            glUniform1i(glGetUniformLocation(mProgram, samplers[i]), i);
            glBindTexture(GL_TEXTURE_2D, mTextures[i]);
            glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
            glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
            glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_REPEAT);
            glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_REPEAT);
            // Rows are picture.strides[i] bytes apart and of any width: no row alignment.
            glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
            glPixelStorei(GL_UNPACK_ROW_LENGTH, picture.strides[i]);
            glTexImage2D(GL_TEXTURE_2D, 0, GL_LUMINANCE, widths[i], heights[i], 0, GL_LUMINANCE, GL_UNSIGNED_BYTE,
                         picture.planes[i]);
        }
        glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);

        glVertexAttribPointer(static_cast<GLuint>(mPositionHandle), 2, GL_FLOAT, GL_FALSE, 0, kQuadPositions);
        glVertexAttribPointer(static_cast<GLuint>(mTexCoordHandle), 2, GL_FLOAT, GL_FALSE, 0, kQuadTexCoords);
        glEnableVertexAttribArray(static_cast<GLuint>(mPositionHandle));
        glEnableVertexAttribArray(static_cast<GLuint>(mTexCoordHandle));
        glDrawElements(GL_TRIANGLES, 6, GL_UNSIGNED_SHORT, kQuadIndices);
        glDisable(GL_TEXTURE_2D);
    }
    glFinish();
    glXSwapBuffers(mDisplay, mWindow);
    glUseProgram(0);
    releaseContext();

    notifyRendered();
}

}  // namespace velmor
