// The capture graph: lists the video capture devices, connects one through
// a sample grabber into a null renderer, runs and stops it, and hands every
// sample to a plain frame function on the graph's streaming thread.
// A failing platform call is thrown as its HRESULT, as a `long`.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "capture/formats.h"
#include "platform/dshow.h"

// Called once per sample with the sample's bytes (valid during the call),
// their count and the bit depth of the current media type.
typedef void (*frame_function_type)(unsigned char *data, int length, int bits);

class VideoDevice {
  public:
    VideoDevice();
    ~VideoDevice();
    VideoDevice(const VideoDevice &) = delete;
    VideoDevice &operator=(const VideoDevice &) = delete;

    char *GetFriendlyName();

    char *display_name;       // the name as the system's text (UTF-8; the ANSI code page on Windows)
    WCHAR *filter_name;       // 80 UTF-16 characters: the name in the graph
    IBaseFilter *filter;      // the device's source filter, or nullptr
    std::string device_path;  // "DevicePath", else "vfw:N" from "VFWIndex", else empty
};

class VideoCapture {
  public:
    class CallbackHandler final : public ISampleGrabberCB {
      public:
        explicit CallbackHandler(frame_function_type function);
        ~CallbackHandler();

        HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **out) override;
        ULONG STDMETHODCALLTYPE AddRef() override;
        ULONG STDMETHODCALLTYPE Release() override;
        HRESULT STDMETHODCALLTYPE SampleCB(double sample_time, IMediaSample *sample) override;
        HRESULT STDMETHODCALLTYPE BufferCB(double sample_time, BYTE *buffer, LONG length) override;

        // Takes the bit depth from the type's subtype (RGB555 16, RGB24 24,
        // RGB32 32); any other subtype leaves it as it was.
        void SetMediaType(AM_MEDIA_TYPE *type);

        // From now on samples are dropped without calling the frame function;
        // returns once no call of it is running (waiting at most 2 s, and not
        // at all when called from inside one).
        void Detach();
        // Samples reach the frame function again.
        void Attach();

        int bits_per_pixel;
        frame_function_type frame_function;

      private:
        std::atomic<bool> detached{false};
        std::atomic<int> in_flight{0};  // SampleCB calls between their check and their end
    };

    // `announce`, where given, is told each device's name as it is listed
    // (the program writes its "fname:" line); the objects made only to look
    // for a camera that went away pass none, so the devices show once.
    explicit VideoCapture(frame_function_type function, void (*announce)(const char *name) = nullptr);
    ~VideoCapture();
    VideoCapture(const VideoCapture &) = delete;
    VideoCapture &operator=(const VideoCapture &) = delete;

    VideoDevice *GetDevices();
    int NumDevices();
    // Connects the device (its capture pin through the grabber into the null
    // renderer) and records the frame size; E_INVALIDARG for a device that
    // has no filter. While playing, the graph is stopped and run again.
    void Select(VideoDevice *device);
    void Start();
    // Returns only when no sample callback is running or will start. When the
    // graph fails to stop, the frame function is cut off before the failure
    // is thrown, so none of its calls runs or will start either way. A stop
    // that has not ended after a second is thrown as
    // HRESULT_FROM_WIN32(ERROR_TIMEOUT) and the graph is abandoned: from then
    // on every call that would use it throws that (DeviceLost says false),
    // and while that stop still runs (StopPending) the destructor releases
    // none of the graph's objects.
    void Stop();
    // True while a stop that was given up on still runs.
    bool StopPending() const;
    // Undoes Select's connection: stops the graph if it runs, takes the
    // device's and the grabber's connections away (the device is closed;
    // both filters stay in the graph) and forgets the frame size.
    void Disconnect();
    void GetSize(int &width, int &height);
    // Takes the graph's pending events; true if one says the device was lost
    // (unplugged) or streaming was aborted. Never throws.
    bool DeviceLost();

    void InitializeGraph();
    void SetSourceFilters();
    void SetSampleGrabber();
    void SetNullRenderer();

    IFilterGraph2 *graph;
    ICaptureGraphBuilder2 *builder;
    IMediaControl *control;
    IBaseFilter *null_renderer;
    IBaseFilter *grabber_filter;
    ISampleGrabber *grabber;
    bool playing;
    VideoDevice *device_list;  // table of max_devices entries
    VideoDevice *current_device;
    int device_count;
    int frame_width;
    int frame_height;
    CallbackHandler *sample_handler;
    // Frame size Select asks the device for; 0 x 0: the device's own choice.
    int wanted_width = 0;
    int wanted_height = 0;
    // Camera format (FOURCC) and frame rate Select asks for; 0: not asked.
    uint32_t wanted_format = 0;
    double wanted_fps = 0;
    // What the device sends since the last Select (the camera's own format,
    // size and rate as its capture pin tells); fourcc 0 when not known.
    CameraFormat obtained;

    static const int max_devices = 8;
    static const int max_name = 79;

  private:
    void release_graph();
    void unplug_current();
    // Every wait for the graph to stop goes through here: StopWhenReady with
    // a time limit (see Stop). Its result, or the timeout, which abandons
    // the graph and detaches the sample handler.
    HRESULT stop_graph();
    bool abandoned = false;  // a stop did not end: the graph is not touched again
    std::shared_ptr<std::atomic<bool>> abandoned_stop_ended;  // set when that stop ends
    bool com_initialised;  // CoInitialize succeeded, so CoUninitialize is owed
    void (*announce_devices)(const char *name);
};
