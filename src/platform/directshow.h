// DirectShow of the portable layer: the filter graph, the capture graph
// builder, the system device enumerator, the sample grabber, the null
// renderer, media control and media samples, over V4L2 capture devices.
//
// Devices: every /dev/video<N> that can capture and stream, in the order of
// N, opened through libv4l2, which converts any camera format to 24-bit BGR.
// A device's moniker has the property "FriendlyName" (the V4L2 card name)
// and "DevicePath"; it has no "Description". Tests can list in-process test
// devices instead (DeviceHooks in capture_device.h).
//
// Streaming: RenderStream connects a device's source filter through the
// sample grabber into the null renderer; the connected type is video,
// MEDIASUBTYPE_RGB24, FORMAT_VideoInfo, with a VIDEOINFOHEADER giving the
// device's width and a positive height. Run starts a streaming thread of the
// layer's own, which hands every frame to the grabber's callback as a DIB:
// blue, green, red per pixel, the bottom row first, rows padded to a multiple
// of 4 bytes. The next frame is fetched only after the callback has returned.
// A device that goes away while streaming ends the stream: no more samples,
// the graph stays in its running state until StopWhenReady.
//
// Stream times: a sample's time is counted in 100 ns units from Run (the
// time since Run on a steady clock; test devices may step it per sample).
// A device source with stream control delivers only the samples whose time
// lies in [start, stop) as ControlStream set them; the graph keeps running
// past the stop time, it just delivers nothing more.
#pragma once

#include "platform/com.h"
#include "platform/types.h"

typedef LONGLONG REFERENCE_TIME;

struct AM_MEDIA_TYPE {
    GUID majortype;
    GUID subtype;
    BOOL bFixedSizeSamples;
    BOOL bTemporalCompression;
    ULONG lSampleSize;
    GUID formattype;
    IUnknown *pUnk;
    ULONG cbFormat;
    BYTE *pbFormat;
};

struct VIDEOINFOHEADER {
    RECT rcSource;
    RECT rcTarget;
    DWORD dwBitRate;
    DWORD dwBitErrorRate;
    REFERENCE_TIME AvgTimePerFrame;
    BITMAPINFOHEADER bmiHeader;
};

struct SIZE {
    LONG cx;
    LONG cy;
};

// What GetStreamCaps tells of one media type; the layer fills the sizes
// (all the type's own) and the frame intervals.
struct VIDEO_STREAM_CONFIG_CAPS {
    GUID guid;
    ULONG VideoStandard;
    SIZE InputSize;
    SIZE MinCroppingSize;
    SIZE MaxCroppingSize;
    int CropGranularityX;
    int CropGranularityY;
    int CropAlignX;
    int CropAlignY;
    SIZE MinOutputSize;
    SIZE MaxOutputSize;
    int OutputGranularityX;
    int OutputGranularityY;
    int StretchTapsX;
    int StretchTapsY;
    int ShrinkTapsX;
    int ShrinkTapsY;
    LONGLONG MinFrameInterval;
    LONGLONG MaxFrameInterval;
    LONG MinBitsPerSecond;
    LONG MaxBitsPerSecond;
};

extern const CLSID CLSID_FilterGraph;
extern const CLSID CLSID_CaptureGraphBuilder2;
extern const CLSID CLSID_SystemDeviceEnum;
extern const CLSID CLSID_VideoInputDeviceCategory;
extern const GUID MEDIATYPE_Video;
extern const GUID MEDIASUBTYPE_RGB555;
extern const GUID MEDIASUBTYPE_RGB565;
extern const GUID MEDIASUBTYPE_RGB24;
extern const GUID MEDIASUBTYPE_RGB32;
extern const GUID FORMAT_VideoInfo;
extern const GUID PIN_CATEGORY_CAPTURE;
extern const IID IID_IBaseFilter;
extern const IID IID_IFilterGraph;
extern const IID IID_IGraphBuilder;
extern const IID IID_IFilterGraph2;
extern const IID IID_ICaptureGraphBuilder2;
extern const IID IID_ICreateDevEnum;
extern const IID IID_IMediaControl;
extern const IID IID_IMediaEvent;
extern const IID IID_IMediaEventEx;
extern const IID IID_IMediaSample;
extern const IID IID_ISampleGrabber;
extern const IID IID_ISampleGrabberCB;
extern const IID IID_IAMStreamConfig;

#define VFW_E_INVALIDMEDIATYPE ((HRESULT)0x80040200)
#define VFW_E_ALREADY_CONNECTED ((HRESULT)0x80040204)
#define VFW_E_NOT_CONNECTED ((HRESULT)0x80040209)
#define VFW_E_CANNOT_CONNECT ((HRESULT)0x80040217)
#define VFW_E_NOT_STOPPED ((HRESULT)0x80040224)
#define VFW_E_WRONG_STATE ((HRESULT)0x80040227)
#define VFW_E_TYPE_NOT_ACCEPTED ((HRESULT)0x8004022A)
#define VFW_E_NOT_IN_GRAPH ((HRESULT)0x8004025F)
#define VFW_E_NO_CAPTURE_HARDWARE ((HRESULT)0x80040275)
#define VFW_S_DUPLICATE_NAME ((HRESULT)0x0004022D)
#define VFW_E_NO_ACCEPTABLE_TYPES ((HRESULT)0x80040207)

// Graph events.
#define EC_ERRORABORT 0x03
#define EC_DEVICE_LOST 0x1F

// A filter of the layer: a device's source, the sample grabber or the null
// renderer. The program uses no method of its own.
class IBaseFilter : public IUnknown {};

class IFilterGraph : public IUnknown {
  public:
    // Adds the filter under `name` (nullptr: an empty name) with a reference
    // of the graph's own. A name already in the graph gets " 0001" (then
    // 0002, ...) appended and the result is VFW_S_DUPLICATE_NAME. A filter
    // already in a graph: VFW_E_WRONG_STATE. Not a filter of the layer:
    // E_INVALIDARG.
    virtual HRESULT STDMETHODCALLTYPE AddFilter(IBaseFilter *filter, LPCWSTR name) = 0;
    // Drops every connection of the filter and the graph's reference.
    // VFW_E_NOT_STOPPED while running; VFW_E_NOT_IN_GRAPH for a filter that
    // is not in this graph.
    virtual HRESULT STDMETHODCALLTYPE RemoveFilter(IBaseFilter *filter) = 0;
};

class IGraphBuilder : public IFilterGraph {};

class IFilterGraph2 : public IGraphBuilder {
  public:
    // The device's source filter, added to the graph under `name` as
    // AddFilter does (so VFW_S_DUPLICATE_NAME for a name in use); *filter
    // receives it with one reference for the caller. The moniker must come
    // from the layer's device enumerator (else E_INVALIDARG). On failure
    // *filter is nullptr.
    virtual HRESULT STDMETHODCALLTYPE AddSourceFilterForMoniker(IMoniker *moniker, IBindCtx *context,
                                                                LPCWSTR name, IBaseFilter **filter) = 0;
};

class ICaptureGraphBuilder2 : public IUnknown {
  public:
    // The graph later calls work on (it keeps a reference). S_OK.
    virtual HRESULT STDMETHODCALLTYPE SetFiltergraph(IGraphBuilder *graph) = 0;
    // Connects a device source (category PIN_CATEGORY_CAPTURE or nullptr,
    // type MEDIATYPE_Video or nullptr) through `intermediate` (a sample
    // grabber) into `sink` (a null renderer), all three in the set graph and
    // unconnected: the device is opened and its format negotiated as 24-bit
    // BGR at its current size. S_OK when connected. E_UNEXPECTED with no
    // graph set; VFW_E_NOT_IN_GRAPH for a filter outside it;
    // VFW_E_NOT_STOPPED while running; VFW_E_ALREADY_CONNECTED if one of
    // them is connected; VFW_E_TYPE_NOT_ACCEPTED when the grabber's type asks
    // for anything but video RGB24; VFW_E_CANNOT_CONNECT when the device
    // cannot be opened or cannot deliver 24-bit BGR.
    virtual HRESULT STDMETHODCALLTYPE RenderStream(const GUID *category, const GUID *type, IUnknown *source,
                                                   IBaseFilter *intermediate, IBaseFilter *sink) = 0;
    // Sets the start and stop times of a connected device source's capture
    // stream. `start`: nullptr or MAXLONGLONG starts with the stream (time 0);
    // `stop`: MAXLONGLONG cancels any stop, nullptr stops at once (time 0).
    // The cookies are accepted and unused. S_OK, or what the device answers
    // when it has no stream control (E_FAIL, E_NOTIMPL, E_NOINTERFACE; the
    // times are then not recorded and it streams from Run until stopped).
    // E_FAIL for a filter that is not a connected device source of the graph.
    virtual HRESULT STDMETHODCALLTYPE ControlStream(const GUID *category, const GUID *type,
                                                    IBaseFilter *filter, REFERENCE_TIME *start,
                                                    REFERENCE_TIME *stop, WORD start_cookie,
                                                    WORD stop_cookie) = 0;
    // IID_IAMStreamConfig of a device source filter (category
    // PIN_CATEGORY_CAPTURE or nullptr, type MEDIATYPE_Video or nullptr), with
    // one reference for the caller; E_NOINTERFACE for anything else, E_FAIL
    // for another category or type, E_POINTER for a null filter or out.
    virtual HRESULT STDMETHODCALLTYPE FindInterface(const GUID *category, const GUID *type,
                                                    IBaseFilter *filter, REFIID riid, void **out) = 0;
};

// A device source filter's frame format, found with FindInterface. The
// device's own formats are its capabilities; the one set here is asked for
// when it connects, and the device takes the nearest size it can.
class IAMStreamConfig : public IUnknown {
  public:
    // While connected: the camera's own format (subtype, size,
    // AvgTimePerFrame as the device runs). Otherwise video RGB24 at the size
    // the device will be asked for (640 x 480 until set). The caller frees
    // the type and its format block with CoTaskMemFree.
    virtual HRESULT STDMETHODCALLTYPE GetFormat(AM_MEDIA_TYPE **type) = 0;
    // Takes a FORMAT_VideoInfo type for the next connection: the width and
    // height of its header, its subtype (RGB24: whatever the device turns
    // into BGR; a FOURCC subtype: that camera format) and AvgTimePerFrame
    // (0: the device's own rate). E_POINTER, or VFW_E_INVALIDMEDIATYPE for
    // another format or a size that is not positive.
    virtual HRESULT STDMETHODCALLTYPE SetFormat(AM_MEDIA_TYPE *type) = 0;
    // One capability per camera format, size and frame interval the device
    // lists; *size is sizeof(VIDEO_STREAM_CONFIG_CAPS).
    virtual HRESULT STDMETHODCALLTYPE GetNumberOfCapabilities(int *count, int *size) = 0;
    // The capability's media type (freed as GetFormat's) and, in `caps`, a
    // VIDEO_STREAM_CONFIG_CAPS whose frame intervals are both the listed one.
    // S_FALSE past the last; E_INVALIDARG for a negative index.
    virtual HRESULT STDMETHODCALLTYPE GetStreamCaps(int index, AM_MEDIA_TYPE **type, BYTE *caps) = 0;
};

class ICreateDevEnum : public IUnknown {
  public:
    // For CLSID_VideoInputDeviceCategory: a snapshot of the capture devices
    // present now, S_OK; S_FALSE and *enumerator nullptr when there are none
    // (and for any other category).
    virtual HRESULT STDMETHODCALLTYPE CreateClassEnumerator(REFCLSID category, IEnumMoniker **enumerator,
                                                            DWORD flags) = 0;
};

class IMediaControl : public IUnknown {
  public:
    // Starts streaming every connected device source: the device starts
    // capturing on the calling thread (its failure is returned and the graph
    // stays stopped), then the streaming thread runs. Running already, or
    // nothing connected: S_OK.
    virtual HRESULT STDMETHODCALLTYPE Run() = 0;
    // Stops streaming and returns only when the streaming thread has finished
    // its last callback and ended; afterwards no callback runs or will start.
    // Stopped already: S_OK. Called from the streaming thread itself:
    // VFW_E_WRONG_STATE and nothing is stopped. A device that refuses to stop
    // (test devices can) gives its failure and the stream runs on.
    virtual HRESULT STDMETHODCALLTYPE StopWhenReady() = 0;
};

class IMediaEvent : public IUnknown {
  public:
    // The oldest event not yet taken: S_OK with its code and parameters;
    // E_ABORT when none came within timeout_ms (0: do not wait). A device
    // whose stream ends by itself (unplugged) gives EC_DEVICE_LOST with
    // param2 0.
    virtual HRESULT STDMETHODCALLTYPE GetEvent(long *code, LONG_PTR *param1, LONG_PTR *param2,
                                               long timeout_ms) = 0;
    // Frees what an event's parameters hold (nothing, for the events above).
    virtual HRESULT STDMETHODCALLTYPE FreeEventParams(long code, LONG_PTR param1, LONG_PTR param2) = 0;
};

class IMediaSample : public IUnknown {
  public:
    // The sample's bytes, valid during the callback.
    virtual HRESULT STDMETHODCALLTYPE GetPointer(BYTE **buffer) = 0;
    // Number of valid bytes.
    virtual LONG STDMETHODCALLTYPE GetActualDataLength() = 0;
    // S_OK and a new type (CoTaskMemAlloc'd, with its format block) when the
    // type changed with this sample; S_FALSE and nullptr when unchanged.
    virtual HRESULT STDMETHODCALLTYPE GetMediaType(AM_MEDIA_TYPE **type) = 0;
};

class ISampleGrabberCB : public IUnknown {
  public:
    virtual HRESULT STDMETHODCALLTYPE SampleCB(double sample_time, IMediaSample *sample) = 0;
    virtual HRESULT STDMETHODCALLTYPE BufferCB(double sample_time, BYTE *buffer, LONG length) = 0;
};

class ISampleGrabber : public IUnknown {
  public:
    // The type a later connection must have: the major type and subtype are
    // checked (GUID_NULL accepts any); S_OK. E_POINTER for nullptr.
    virtual HRESULT STDMETHODCALLTYPE SetMediaType(const AM_MEDIA_TYPE *type) = 0;
    // A copy of the connected type; its format block is CoTaskMemAlloc'd and
    // the caller frees it. VFW_E_NOT_CONNECTED when not connected.
    virtual HRESULT STDMETHODCALLTYPE GetConnectedMediaType(AM_MEDIA_TYPE *type) = 0;
    // The callback for every sample: method 0 calls SampleCB, 1 BufferCB.
    // The grabber keeps a reference (AddRef, and Release when replaced or
    // when the grabber goes). S_OK; E_INVALIDARG for another method.
    virtual HRESULT STDMETHODCALLTYPE SetCallback(ISampleGrabberCB *callback, LONG method) = 0;
};
