// The filter graph, capture graph builder, device enumerator, monikers,
// property bags, sample grabber, null renderer and media samples of the
// portable DirectShow (see directshow.h for what each call does).
#include "platform/directshow.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "platform/capture_device.h"
#include "platform/com_object.h"
#include "platform/dib.h"

namespace lumivex_platform {
namespace {

class FilterGraph;

// Base of the layer's filters: its graph, its name there, its connections.
class Filter : public ComObject<Filter, Implements<IBaseFilter, IID_IBaseFilter>> {
  public:
    enum class Kind { source, grabber, renderer };
    explicit Filter(Kind kind) : kind(kind) {}
    virtual ~Filter() = default;

    const Kind kind;
    FilterGraph *graph = nullptr;  // not owned; the graph owns a reference
    std::u16string name;
    Filter *upstream = nullptr;
    Filter *downstream = nullptr;
};

Filter *as_filter(IUnknown *object) { return object ? dynamic_cast<Filter *>(object) : nullptr; }

void fill_video_type(AM_MEDIA_TYPE &type, const GUID &subtype, int width, int height, int bits);

const uint32_t fourcc_bgr3 = 0x33524742;  // V4L2_PIX_FMT_BGR24

// Windows names some V4L2 formats differently: YUYV is YUY2, YU12 is I420.
uint32_t windows_fourcc(uint32_t fourcc) {
    if (fourcc == 0x56595559) return 0x32595559;  // YUYV -> YUY2
    if (fourcc == 0x32315559) return 0x30323449;  // YU12 -> I420
    return fourcc;
}

uint32_t v4l2_fourcc(uint32_t fourcc) {
    if (fourcc == 0x32595559) return 0x56595559;
    if (fourcc == 0x30323449 || fourcc == 0x56555949) return 0x32315559;  // I420, IYUV
    return fourcc;
}

// The media subtype of a camera format: RGB24 for BGR3, else the FOURCC
// subtype {XXXXXXXX-0000-0010-8000-00AA00389B71}.
GUID format_subtype(uint32_t fourcc) {
    if (fourcc == fourcc_bgr3) return MEDIASUBTYPE_RGB24;
    return GUID{windows_fourcc(fourcc), 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
}

// The camera format a subtype asks for; 0 for RGB24 (any the device turns
// into BGR) and for subtypes that name none.
uint32_t subtype_format(const GUID &subtype) {
    static const unsigned char tail[8] = {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
    if (subtype.Data2 != 0 || subtype.Data3 != 0x0010 || std::memcmp(subtype.Data4, tail, 8) != 0) return 0;
    return v4l2_fourcc(subtype.Data1);
}

// A video type for a camera format: its subtype, the FOURCC in the header.
bool fill_camera_type(AM_MEDIA_TYPE &type, uint32_t fourcc, int width, int height, int64_t interval) {
    if (fourcc == fourcc_bgr3) {
        fill_video_type(type, MEDIASUBTYPE_RGB24, width, height, 24);
    } else {
        const uint32_t windows = windows_fourcc(fourcc);
        const bool yuv420 = windows == 0x3231564E || windows == 0x30323449 || windows == 0x32315659 ||
                            windows == 0x3132564E;                           // NV12, I420, YV12, NV21
        const bool yuv422 = windows == 0x32595559 || windows == 0x59565955;  // YUY2, UYVY
        fill_video_type(type, format_subtype(fourcc), width, height, yuv420 ? 12 : yuv422 ? 16 : 24);
        if (!type.pbFormat) return false;
        VIDEOINFOHEADER *info = reinterpret_cast<VIDEOINFOHEADER *>(type.pbFormat);
        info->bmiHeader.biCompression = windows;
        if (fourcc == 0x47504A4D) {  // MJPG: frames of any size up to the bitmap's
            type.bFixedSizeSamples = FALSE;
            type.bTemporalCompression = FALSE;
        }
    }
    if (!type.pbFormat) return false;
    // 0 where the rate is not known.
    reinterpret_cast<VIDEOINFOHEADER *>(type.pbFormat)->AvgTimePerFrame = interval > 0 ? interval : 0;
    return true;
}

class SourceFilter final : public Filter, public IAMStreamConfig {
  public:
    explicit SourceFilter(std::shared_ptr<CaptureDevice> device)
        : Filter(Kind::source), device(std::move(device)) {}

    // The stream configuration's IUnknown is the filter's.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **object) override {
        return Filter::QueryInterface(riid, object);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return Filter::AddRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return Filter::Release(); }

    HRESULT STDMETHODCALLTYPE GetFormat(AM_MEDIA_TYPE **type) override {
        if (!type) return E_POINTER;
        *type = static_cast<AM_MEDIA_TYPE *>(CoTaskMemAlloc(sizeof(AM_MEDIA_TYPE)));
        if (!*type) return E_OUTOFMEMORY;
        bool filled;
        if (stream) {
            filled = fill_camera_type(**type, stream->camera_fourcc(), stream->width(), stream->height(),
                                      stream->frame_interval());
        } else {
            fill_video_type(**type, MEDIASUBTYPE_RGB24, width, height, 24);
            filled = (*type)->pbFormat != nullptr;
            if (filled && interval > 0)
                reinterpret_cast<VIDEOINFOHEADER *>((*type)->pbFormat)->AvgTimePerFrame = interval;
        }
        if (filled) return S_OK;
        CoTaskMemFree(*type);
        *type = nullptr;
        return E_OUTOFMEMORY;
    }
    HRESULT STDMETHODCALLTYPE SetFormat(AM_MEDIA_TYPE *type) override {
        if (!type) return E_POINTER;
        if (type->formattype != FORMAT_VideoInfo || !type->pbFormat ||
            type->cbFormat < sizeof(VIDEOINFOHEADER))
            return VFW_E_INVALIDMEDIATYPE;
        const VIDEOINFOHEADER *info = reinterpret_cast<const VIDEOINFOHEADER *>(type->pbFormat);
        const BITMAPINFOHEADER &h = info->bmiHeader;
        if (h.biWidth <= 0 || h.biHeight == 0) return VFW_E_INVALIDMEDIATYPE;
        width = h.biWidth;
        height = h.biHeight < 0 ? -h.biHeight : h.biHeight;
        interval = info->AvgTimePerFrame > 0 ? info->AvgTimePerFrame : 0;
        device->request_size(width, height);
        device->request_format(subtype_format(type->subtype), interval);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetNumberOfCapabilities(int *count, int *size) override {
        if (!count || !size) return E_POINTER;
        const std::vector<DeviceFormat> &all = formats();
        *count = static_cast<int>(all.size());
        *size = sizeof(VIDEO_STREAM_CONFIG_CAPS);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetStreamCaps(int index, AM_MEDIA_TYPE **type, BYTE *caps) override {
        if (!type || !caps) return E_POINTER;
        *type = nullptr;
        if (index < 0) return E_INVALIDARG;
        const std::vector<DeviceFormat> &all = formats();
        if (static_cast<size_t>(index) >= all.size()) return S_FALSE;
        const DeviceFormat &f = all[static_cast<size_t>(index)];
        *type = static_cast<AM_MEDIA_TYPE *>(CoTaskMemAlloc(sizeof(AM_MEDIA_TYPE)));
        if (!*type) return E_OUTOFMEMORY;
        if (!fill_camera_type(**type, f.fourcc, f.width, f.height, f.interval)) {
            CoTaskMemFree(*type);
            *type = nullptr;
            return E_OUTOFMEMORY;
        }
        VIDEO_STREAM_CONFIG_CAPS c;
        std::memset(&c, 0, sizeof c);
        c.guid = FORMAT_VideoInfo;
        c.InputSize = c.MinCroppingSize = c.MaxCroppingSize = c.MinOutputSize = c.MaxOutputSize =
            SIZE{f.width, f.height};
        c.MinFrameInterval = c.MaxFrameInterval = f.interval;
        std::memcpy(caps, &c, sizeof c);
        return S_OK;
    }

    std::shared_ptr<CaptureDevice> device;
    std::unique_ptr<DeviceStream> stream;  // open while connected
    // Stream times set by ControlStream (100 ns units since Run).
    REFERENCE_TIME start_time = 0;
    REFERENCE_TIME stop_time = MAXLONGLONG;
    int width = 640;  // the size asked for at the next connection
    int height = 480;
    REFERENCE_TIME interval = 0;  // the frame interval asked for; 0: the device's

  protected:
    void *interface_for(REFIID riid) override {
        if (riid == IID_IAMStreamConfig) return static_cast<IAMStreamConfig *>(this);
        return Filter::interface_for(riid);
    }

  private:
    // The device's formats, asked once.
    const std::vector<DeviceFormat> &formats() {
        if (!listed) {
            listed = true;
            try {
                listed_formats = device->formats();
            } catch (const std::bad_alloc &) {
                listed_formats.clear();
            }
        }
        return listed_formats;
    }
    bool listed = false;
    std::vector<DeviceFormat> listed_formats;
};

class NullRenderer final : public Filter {
  public:
    NullRenderer() : Filter(Kind::renderer) {}
};

// A negative height (a top-down source) is kept in the bitmap header.
void fill_video_type(AM_MEDIA_TYPE &type, const GUID &subtype, int width, int height, int bits) {
    size_t stride = dib_stride(static_cast<size_t>(width), static_cast<size_t>(bits));
    size_t rows = static_cast<size_t>(height < 0 ? -static_cast<long long>(height) : height);
    std::memset(&type, 0, sizeof type);
    type.majortype = MEDIATYPE_Video;
    type.subtype = subtype;
    type.bFixedSizeSamples = TRUE;
    type.lSampleSize = static_cast<ULONG>(stride * rows);
    type.formattype = FORMAT_VideoInfo;
    VIDEOINFOHEADER *info = static_cast<VIDEOINFOHEADER *>(CoTaskMemAlloc(sizeof(VIDEOINFOHEADER)));
    if (!info) return;
    std::memset(info, 0, sizeof *info);
    info->rcSource = {0, 0, width, height};
    info->rcTarget = {0, 0, width, height};
    info->AvgTimePerFrame = 333333;
    info->bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info->bmiHeader.biWidth = width;
    info->bmiHeader.biHeight = height;
    info->bmiHeader.biPlanes = 1;
    info->bmiHeader.biBitCount = static_cast<WORD>(bits);
    info->bmiHeader.biCompression = BI_RGB;
    info->bmiHeader.biSizeImage = type.lSampleSize;
    type.cbFormat = sizeof(VIDEOINFOHEADER);
    type.pbFormat = reinterpret_cast<BYTE *>(info);
}

class SampleGrabber final : public Filter, public ISampleGrabber {
  public:
    SampleGrabber() : Filter(Kind::grabber) {}
    ~SampleGrabber() override {
        if (callback) callback->Release();
    }

    // The grabber interface's IUnknown is the filter's.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **object) override {
        return Filter::QueryInterface(riid, object);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return Filter::AddRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return Filter::Release(); }

    HRESULT STDMETHODCALLTYPE SetMediaType(const AM_MEDIA_TYPE *type) override {
        if (!type) return E_POINTER;
        wanted_major = type->majortype;
        wanted_sub = type->subtype;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetConnectedMediaType(AM_MEDIA_TYPE *type) override {
        if (!type) return E_POINTER;
        if (!connected) return VFW_E_NOT_CONNECTED;
        fill_video_type(*type, MEDIASUBTYPE_RGB24, width, height, 24);
        return type->pbFormat ? S_OK : E_OUTOFMEMORY;
    }
    HRESULT STDMETHODCALLTYPE SetCallback(ISampleGrabberCB *new_callback, LONG new_method) override {
        if (new_method != 0 && new_method != 1) return E_INVALIDARG;
        if (new_callback) new_callback->AddRef();
        if (callback) callback->Release();
        callback = new_callback;
        method = new_method;
        return S_OK;
    }

    bool accepts_rgb24_video() const {
        return (wanted_major == GUID_NULL || wanted_major == MEDIATYPE_Video) &&
               (wanted_sub == GUID_NULL || wanted_sub == MEDIASUBTYPE_RGB24);
    }

    GUID wanted_major = GUID_NULL;
    GUID wanted_sub = GUID_NULL;
    bool connected = false;
    int width = 0;
    int height = 0;
    // Taken by Run for the streaming thread; a change applies from the next Run.
    ISampleGrabberCB *callback = nullptr;
    LONG method = 0;

  protected:
    void *interface_for(REFIID riid) override {
        if (riid == IID_ISampleGrabber) return static_cast<ISampleGrabber *>(this);
        return Filter::interface_for(riid);
    }
};

// The sample handed to SampleCB; one per stream, refilled for every frame.
class MediaSample final : public ComInterfaces<Implements<IMediaSample, IID_IMediaSample>> {
  public:
    // Lives on the streaming thread's stack: counted but never deleted, so
    // not a ComObject.
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs; }

    HRESULT STDMETHODCALLTYPE GetPointer(BYTE **buffer) override {
        if (!buffer) return E_POINTER;
        *buffer = sample.pointer_result == S_OK ? sample.data : nullptr;
        return sample.pointer_result;
    }
    LONG STDMETHODCALLTYPE GetActualDataLength() override { return sample.length; }
    HRESULT STDMETHODCALLTYPE GetMediaType(AM_MEDIA_TYPE **type) override {
        if (!type) return E_POINTER;
        *type = nullptr;
        if (sample.type_result != S_OK) return sample.type_result;
        AM_MEDIA_TYPE *changed = static_cast<AM_MEDIA_TYPE *>(CoTaskMemAlloc(sizeof(AM_MEDIA_TYPE)));
        if (!changed) return E_OUTOFMEMORY;
        int bits = 24;
        if (sample.subtype == MEDIASUBTYPE_RGB32) bits = 32;
        if (sample.subtype == MEDIASUBTYPE_RGB555 || sample.subtype == MEDIASUBTYPE_RGB565) bits = 16;
        fill_video_type(*changed, sample.subtype, width, height, bits);
        *type = changed;
        return S_OK;
    }

    SampleData sample;
    int width = 0;
    int height = 0;

  private:
    ULONG refs = 1;
};

class FilterGraph;

// Streaming threads now running, so that a process that exits without
// stopping its graph (the program's capture object is never destroyed)
// stops them before its statics go. Never destroyed itself.
struct ExitWatch {
    struct Stream {
        FilterGraph *graph;
        std::thread::id thread;
    };
    std::mutex mutex;
    std::condition_variable finished;
    std::vector<Stream> streams;
};

ExitWatch &exit_watch() {
    static ExitWatch *instance = new ExitWatch;
    return *instance;
}

void stop_streams_at_exit();

class FilterGraph final
    : public ComObject<FilterGraph,
                       Implements<IFilterGraph2, IID_IFilterGraph, IID_IGraphBuilder, IID_IFilterGraph2>,
                       Implements<IMediaControl, IID_IMediaControl>,
                       Implements<IMediaEvent, IID_IMediaEvent, IID_IMediaEventEx>> {
  public:
    ~FilterGraph() {
        stop(true);
        std::lock_guard<std::mutex> lock(mutex);
        while (!filters.empty()) remove_locked(filters.back());
    }

    HRESULT STDMETHODCALLTYPE AddFilter(IBaseFilter *filter, LPCWSTR name) override {
        std::lock_guard<std::mutex> lock(mutex);
        return add_locked(as_filter(filter), name);
    }

    HRESULT STDMETHODCALLTYPE RemoveFilter(IBaseFilter *filter) override {
        std::lock_guard<std::mutex> lock(mutex);
        Filter *f = as_filter(filter);
        if (!f || f->graph != this) return VFW_E_NOT_IN_GRAPH;
        if (running) return VFW_E_NOT_STOPPED;
        remove_locked(f);
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE AddSourceFilterForMoniker(IMoniker *moniker, IBindCtx *, LPCWSTR name,
                                                        IBaseFilter **filter) override;

    HRESULT STDMETHODCALLTYPE Run() override {
        std::lock_guard<std::mutex> lock(mutex);
        if (running) return S_OK;
        SourceFilter *source = nullptr;
        for (Filter *f : filters) {
            if (f->kind == Filter::Kind::source && f->downstream) source = static_cast<SourceFilter *>(f);
        }
        if (source) {
            // A COM call reports running out of memory or threads; it never throws.
            HRESULT hr;
            try {
                hr = source->stream->start();
            } catch (const std::bad_alloc &) {
                hr = E_OUTOFMEMORY;
            }
            if (FAILED(hr)) return hr;
            SampleGrabber *grabber = static_cast<SampleGrabber *>(source->downstream);
            source->AddRef();
            grabber->AddRef();
            if (grabber->callback) grabber->callback->AddRef();
            stream_source = source;
            stream_grabber = grabber;
            stream_callback = grabber->callback;
            stream_method = grabber->method;
            stream_start = source->start_time;
            stream_stop = source->stop_time;
            stop_requested = false;
            static bool exit_hook = std::atexit(stop_streams_at_exit) == 0;
            (void)exit_hook;
            ExitWatch &watch = exit_watch();
            std::lock_guard<std::mutex> watching(watch.mutex);
            try {
                watch.streams.reserve(watch.streams.size() + 1);
                thread = std::thread(&FilterGraph::stream_loop, this);
            } catch (const std::exception &) {
                // No thread (std::system_error) or no memory (std::bad_alloc).
                source->stream->stop();
                if (stream_callback) stream_callback->Release();
                stream_grabber->Release();
                stream_source->Release();
                stream_callback = nullptr;
                stream_grabber = nullptr;
                stream_source = nullptr;
                return E_OUTOFMEMORY;
            }
            watch.streams.push_back({this, thread.get_id()});
        }
        running = true;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE StopWhenReady() override { return stop(false); }

    // `forced`: the graph is going, so a device's refusal does not count.
    HRESULT stop(bool forced) {
        std::lock_guard<std::mutex> lock(mutex);
        if (!running) return S_OK;
        if (thread.joinable()) {
            if (thread.get_id() == std::this_thread::get_id()) return VFW_E_WRONG_STATE;
            HRESULT refused = stream_source->device->stop_result();
            if (!forced && FAILED(refused)) return refused;
            stop_requested = true;
            thread.join();
            stream_source->stream->stop();
            if (stream_callback) stream_callback->Release();
            stream_grabber->Release();
            stream_source->Release();
            stream_callback = nullptr;
            stream_grabber = nullptr;
            stream_source = nullptr;
        }
        running = false;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE GetEvent(long *code, LONG_PTR *param1, LONG_PTR *param2,
                                       long timeout_ms) override {
        if (!code || !param1 || !param2) return E_POINTER;
        std::unique_lock<std::mutex> lock(event_mutex);
        if (!event_added.wait_for(lock, std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms),
                                  [this] { return !events.empty(); }))
            return E_ABORT;
        *code = events.front();
        *param1 = 0;
        *param2 = 0;
        events.erase(events.begin());
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE FreeEventParams(long, LONG_PTR, LONG_PTR) override { return S_OK; }

    // Connects source -> grabber -> renderer (RenderStream).
    HRESULT render(IUnknown *source_object, IBaseFilter *middle, IBaseFilter *sink) {
        std::lock_guard<std::mutex> lock(mutex);
        SourceFilter *source = dynamic_cast<SourceFilter *>(as_filter(source_object));
        SampleGrabber *grabber = dynamic_cast<SampleGrabber *>(as_filter(middle));
        NullRenderer *renderer = dynamic_cast<NullRenderer *>(as_filter(sink));
        if (!source || !grabber || !renderer) return E_INVALIDARG;
        if (source->graph != this || grabber->graph != this || renderer->graph != this)
            return VFW_E_NOT_IN_GRAPH;
        if (running) return VFW_E_NOT_STOPPED;
        if (source->downstream || grabber->upstream || grabber->downstream || renderer->upstream) {
            return VFW_E_ALREADY_CONNECTED;
        }
        if (!grabber->accepts_rgb24_video()) return VFW_E_TYPE_NOT_ACCEPTED;
        std::unique_ptr<DeviceStream> stream;
        HRESULT hr;
        try {
            hr = source->device->connect(stream);
        } catch (const std::bad_alloc &) {
            hr = E_OUTOFMEMORY;
        }
        if (FAILED(hr)) return hr;
        // A negative height is a top-down source.
        if (!stream || stream->width() <= 0 || stream->height() == 0) return VFW_E_CANNOT_CONNECT;
        source->stream = std::move(stream);
        source->downstream = grabber;
        grabber->upstream = source;
        grabber->downstream = renderer;
        renderer->upstream = grabber;
        grabber->connected = true;
        grabber->width = source->stream->width();
        grabber->height = source->stream->height();
        return hr;
    }

    HRESULT control(IBaseFilter *filter, const REFERENCE_TIME *start, const REFERENCE_TIME *stop) {
        std::lock_guard<std::mutex> lock(mutex);
        SourceFilter *source = dynamic_cast<SourceFilter *>(as_filter(filter));
        if (!source || source->graph != this || !source->downstream) return E_FAIL;
        HRESULT hr = source->device->control_stream();
        if (FAILED(hr)) return hr;
        source->start_time = (!start || *start == MAXLONGLONG) ? 0 : *start;
        source->stop_time = !stop ? 0 : *stop;
        return hr;
    }

    std::vector<std::u16string> names() {
        std::lock_guard<std::mutex> lock(mutex);
        std::vector<std::u16string> result;
        for (Filter *f : filters) result.push_back(f->name);
        return result;
    }
    bool is_running() {
        std::lock_guard<std::mutex> lock(mutex);
        return running;
    }

  private:
    HRESULT add_locked(Filter *f, LPCWSTR name) {
        if (!f) return E_INVALIDARG;
        if (f->graph) return VFW_E_WRONG_STATE;
        std::u16string wanted = name ? std::u16string(name) : std::u16string();
        std::u16string unique = wanted;
        HRESULT result = S_OK;
        for (int n = 1; name_taken(unique); ++n) {
            char suffix[16];
            std::snprintf(suffix, sizeof suffix, " %04d", n);
            unique = wanted;
            for (const char *p = suffix; *p; ++p) unique.push_back(static_cast<char16_t>(*p));
            result = VFW_S_DUPLICATE_NAME;
        }
        f->AddRef();
        f->graph = this;
        f->name = unique;
        filters.push_back(f);
        return result;
    }

    bool name_taken(const std::u16string &name) const {
        for (const Filter *f : filters) {
            if (f->name == name) return true;
        }
        return false;
    }

    static void unlink(Filter *from, Filter *to) {
        from->downstream = nullptr;
        to->upstream = nullptr;
        if (from->kind == Filter::Kind::source) static_cast<SourceFilter *>(from)->stream.reset();
        if (to->kind == Filter::Kind::grabber) static_cast<SampleGrabber *>(to)->connected = false;
    }

    void remove_locked(Filter *f) {
        if (f->upstream) unlink(f->upstream, f);
        if (f->downstream) unlink(f, f->downstream);
        for (size_t i = 0; i < filters.size(); ++i) {
            if (filters[i] == f) {
                filters.erase(filters.begin() + static_cast<std::ptrdiff_t>(i));
                break;
            }
        }
        f->graph = nullptr;
        f->Release();
    }

    void stream_loop() {
        MediaSample sample;
        DeviceStream &stream = *stream_source->stream;
        sample.width = stream.width();
        sample.height = stream.height();
        auto start = std::chrono::steady_clock::now();
        while (!stop_requested.load()) {
            SampleData data;
            DeviceStream::Next next = stream.next(data);
            if (next == DeviceStream::Next::end) {
                // The device went away by itself: tell the application.
                std::lock_guard<std::mutex> lock(event_mutex);
                events.push_back(EC_DEVICE_LOST);
                event_added.notify_all();
                break;
            }
            if (next == DeviceStream::Next::idle || !stream_callback) continue;
            REFERENCE_TIME at = data.time;
            if (at < 0) {
                at = std::chrono::duration_cast<
                         std::chrono::duration<REFERENCE_TIME, std::ratio<1, 10000000>>>(
                         std::chrono::steady_clock::now() - start)
                         .count();
            }
            // Outside the times ControlStream set, the pin delivers nothing.
            if (at < stream_start || at >= stream_stop) continue;
            sample.sample = data;
            double time = static_cast<double>(at) / 1e7;
            if (stream_method == 0) {
                stream_callback->SampleCB(time, &sample);
            } else if (data.pointer_result == S_OK) {
                stream_callback->BufferCB(time, data.data, data.length);
            }
        }
        ExitWatch &watch = exit_watch();
        std::lock_guard<std::mutex> watching(watch.mutex);
        for (size_t i = 0; i < watch.streams.size(); ++i) {
            if (watch.streams[i].graph == this) {
                watch.streams.erase(watch.streams.begin() + static_cast<std::ptrdiff_t>(i));
                break;
            }
        }
        watch.finished.notify_all();
    }

  public:
    // From the exit handler: asks the streaming thread to end.
    void request_stop() { stop_requested = true; }
    // From the exit handler, once the streaming thread has ended.
    void join_at_exit() {
        std::unique_lock<std::mutex> lock(mutex, std::try_to_lock);
        if (lock.owns_lock() && thread.joinable()) thread.join();
    }

  private:
    std::mutex mutex;
    std::vector<Filter *> filters;  // each holds a reference
    // Events for GetEvent; the streaming thread adds them.
    std::mutex event_mutex;
    std::condition_variable event_added;
    std::vector<long> events;
    bool running = false;
    std::thread thread;
    std::atomic<bool> stop_requested{false};
    SourceFilter *stream_source = nullptr;
    SampleGrabber *stream_grabber = nullptr;
    ISampleGrabberCB *stream_callback = nullptr;
    LONG stream_method = 0;
    REFERENCE_TIME stream_start = 0;
    REFERENCE_TIME stream_stop = MAXLONGLONG;
};

// Asks every streaming thread to end after its current callback and waits
// for them, but boundedly: the exiting thread might hold a lock that a
// callback is waiting for. A thread that does not end in time is left to
// the process's end; the graph it uses is never freed.
void stop_streams_at_exit() {
    ExitWatch &watch = exit_watch();
    std::unique_lock<std::mutex> lock(watch.mutex);
    const std::thread::id self = std::this_thread::get_id();
    std::vector<FilterGraph *> asked;
    for (const ExitWatch::Stream &stream : watch.streams) {
        if (stream.thread == self) continue;
        stream.graph->request_stop();
        asked.push_back(stream.graph);
    }
    auto still_streaming = [&watch](FilterGraph *graph) {
        for (const ExitWatch::Stream &stream : watch.streams) {
            if (stream.graph == graph) return true;
        }
        return false;
    };
    watch.finished.wait_for(lock, std::chrono::milliseconds(500), [&] {
        for (FilterGraph *graph : asked) {
            if (still_streaming(graph)) return false;
        }
        return true;
    });
    std::vector<FilterGraph *> ended;
    for (FilterGraph *graph : asked) {
        if (!still_streaming(graph)) ended.push_back(graph);
    }
    lock.unlock();
    for (FilterGraph *graph : ended) graph->join_at_exit();
}

class CaptureGraphBuilder final
    : public ComObject<CaptureGraphBuilder, Implements<ICaptureGraphBuilder2, IID_ICaptureGraphBuilder2>> {
  public:
    ~CaptureGraphBuilder() {
        if (graph) graph->Release();
    }

    HRESULT STDMETHODCALLTYPE SetFiltergraph(IGraphBuilder *new_graph) override {
        FilterGraph *g = new_graph ? dynamic_cast<FilterGraph *>(new_graph) : nullptr;
        if (!g) return E_INVALIDARG;
        g->AddRef();
        if (graph) graph->Release();
        graph = g;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE RenderStream(const GUID *category, const GUID *type, IUnknown *source,
                                           IBaseFilter *intermediate, IBaseFilter *sink) override {
        if (!graph) return E_UNEXPECTED;
        if (category && *category != PIN_CATEGORY_CAPTURE) return E_FAIL;
        if (type && *type != MEDIATYPE_Video) return E_FAIL;
        return graph->render(source, intermediate, sink);
    }

    HRESULT STDMETHODCALLTYPE ControlStream(const GUID *category, const GUID *type, IBaseFilter *filter,
                                            REFERENCE_TIME *start, REFERENCE_TIME *stop, WORD,
                                            WORD) override {
        if (!graph) return E_UNEXPECTED;
        if (!category || *category != PIN_CATEGORY_CAPTURE) return E_FAIL;
        if (type && *type != MEDIATYPE_Video) return E_FAIL;
        return graph->control(filter, start, stop);
    }

    HRESULT STDMETHODCALLTYPE FindInterface(const GUID *category, const GUID *type, IBaseFilter *filter,
                                            REFIID riid, void **out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (!filter) return E_POINTER;
        if (category && *category != PIN_CATEGORY_CAPTURE) return E_FAIL;
        if (type && *type != MEDIATYPE_Video) return E_FAIL;
        if (riid != IID_IAMStreamConfig || !dynamic_cast<SourceFilter *>(as_filter(filter)))
            return E_NOINTERFACE;
        return filter->QueryInterface(riid, out);
    }

  private:
    FilterGraph *graph = nullptr;
};

class PropertyBag final : public ComObject<PropertyBag, Implements<IPropertyBag, IID_IPropertyBag>> {
  public:
    explicit PropertyBag(std::shared_ptr<CaptureDevice> device) : device(std::move(device)) {}

    HRESULT STDMETHODCALLTYPE Read(LPCOLESTR name, VARIANT *value, IErrorLog *) override {
        if (!name || !value) return E_POINTER;
        if (value->vt != VT_EMPTY && value->vt != VT_BSTR) return DISP_E_TYPEMISMATCH;
        std::u16string text;
        HRESULT hr = device->read_property(name, text);
        if (FAILED(hr)) return hr;
        BSTR string = SysAllocString(text.c_str());
        if (!string) return E_OUTOFMEMORY;
        if (value->vt == VT_BSTR) SysFreeString(value->bstrVal);
        value->vt = VT_BSTR;
        value->bstrVal = string;
        return S_OK;
    }

  private:
    std::shared_ptr<CaptureDevice> device;
};

class DeviceMoniker final : public ComObject<DeviceMoniker, Implements<IMoniker, IID_IMoniker>> {
  public:
    explicit DeviceMoniker(std::shared_ptr<CaptureDevice> device) : device(std::move(device)) {}

    HRESULT STDMETHODCALLTYPE BindToStorage(IBindCtx *, IMoniker *, REFIID riid, void **object) override {
        if (!object) return E_POINTER;
        *object = nullptr;
        if (riid != IID_IPropertyBag) return E_NOINTERFACE;
        HRESULT hr = device->bind_properties();
        if (FAILED(hr)) return hr;
        *object = static_cast<IPropertyBag *>(new PropertyBag(device));
        return S_OK;
    }

    std::shared_ptr<CaptureDevice> device;
};

class MonikerEnum final : public ComObject<MonikerEnum, Implements<IEnumMoniker, IID_IEnumMoniker>> {
  public:
    explicit MonikerEnum(DeviceList devices) : devices(std::move(devices)) {}

    HRESULT STDMETHODCALLTYPE Next(ULONG count, IMoniker **monikers, ULONG *fetched) override {
        if (!monikers) return E_POINTER;
        if (count > 1 && !fetched) return E_INVALIDARG;
        ULONG n = 0;
        while (n < count && position < devices.size()) monikers[n++] = new DeviceMoniker(devices[position++]);
        if (fetched) *fetched = n;
        return n == count ? S_OK : S_FALSE;
    }

  private:
    DeviceList devices;
    size_t position = 0;
};

class SystemDeviceEnum final
    : public ComObject<SystemDeviceEnum, Implements<ICreateDevEnum, IID_ICreateDevEnum>> {
  public:
    HRESULT STDMETHODCALLTYPE CreateClassEnumerator(REFCLSID category, IEnumMoniker **enumerator,
                                                    DWORD) override {
        if (!enumerator) return E_POINTER;
        *enumerator = nullptr;
        HRESULT injected = test_class_enumerator_result();
        if (injected != S_OK) return injected;
        if (category != CLSID_VideoInputDeviceCategory) return S_FALSE;
        DeviceList devices = current_devices();
        if (devices.empty()) return S_FALSE;
        *enumerator = new MonikerEnum(std::move(devices));
        return S_OK;
    }
};

HRESULT FilterGraph::AddSourceFilterForMoniker(IMoniker *moniker, IBindCtx *, LPCWSTR name,
                                               IBaseFilter **filter) {
    if (!filter) return E_POINTER;
    *filter = nullptr;
    DeviceMoniker *device_moniker = moniker ? dynamic_cast<DeviceMoniker *>(moniker) : nullptr;
    if (!device_moniker) return E_INVALIDARG;
    HRESULT created = device_moniker->device->create_source();
    if (FAILED(created)) return created;
    SourceFilter *source = new SourceFilter(device_moniker->device);
    HRESULT added;
    {
        std::lock_guard<std::mutex> lock(mutex);
        added = add_locked(source, name);
    }
    if (FAILED(added)) {
        source->Release();
        return added;
    }
    *filter = source;
    return added != S_OK ? added : created;
}

// Hands out the object's `riid` interface and drops the creation reference.
template <class T>
HRESULT hand_out(T *object, REFIID riid, void **result) {
    HRESULT hr = object->QueryInterface(riid, result);
    object->Release();
    return hr;
}

}  // namespace

HRESULT create_filter_graph(REFIID riid, void **object) {
    return hand_out(static_cast<IFilterGraph2 *>(new FilterGraph), riid, object);
}
HRESULT create_capture_graph_builder(REFIID riid, void **object) {
    return hand_out(new CaptureGraphBuilder, riid, object);
}
HRESULT create_system_device_enum(REFIID riid, void **object) {
    return hand_out(new SystemDeviceEnum, riid, object);
}
HRESULT create_sample_grabber(REFIID riid, void **object) {
    return hand_out(static_cast<Filter *>(new SampleGrabber), riid, object);
}
HRESULT create_null_renderer(REFIID riid, void **object) {
    return hand_out(static_cast<Filter *>(new NullRenderer), riid, object);
}

std::vector<std::u16string> graph_filter_names(IUnknown *graph) {
    FilterGraph *g = graph ? dynamic_cast<FilterGraph *>(graph) : nullptr;
    return g ? g->names() : std::vector<std::u16string>();
}

bool graph_filters_connected(IBaseFilter *from, IBaseFilter *to) {
    Filter *a = as_filter(from);
    Filter *b = as_filter(to);
    return a && b && a->downstream == b && b->upstream == a;
}

bool graph_filter_has_connections(IBaseFilter *filter) {
    Filter *f = as_filter(filter);
    return f && (f->upstream || f->downstream);
}

bool graph_has_callback(IBaseFilter *grabber) {
    SampleGrabber *g = dynamic_cast<SampleGrabber *>(as_filter(grabber));
    return g && g->callback;
}

bool graph_is_running(IUnknown *graph) {
    FilterGraph *g = graph ? dynamic_cast<FilterGraph *>(graph) : nullptr;
    return g && g->is_running();
}

}  // namespace lumivex_platform
