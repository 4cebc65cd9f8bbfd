#include "capture/capture.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>


namespace {

// Class ids of the sample grabber and the null renderer, which MinGW's
// headers do not define.
const CLSID CLSID_SampleGrabber = {
    0xC1F400A0, 0x3F08, 0x11D3, {0x9F, 0x0B, 0x00, 0x60, 0x08, 0x03, 0x9E, 0x37}};
const CLSID CLSID_NullRenderer = {
    0xC1F400A4, 0x3F08, 0x11D3, {0x9F, 0x0B, 0x00, 0x60, 0x08, 0x03, 0x9E, 0x37}};

const int name_size = VideoCapture::max_name + 1;
// A name's 8-bit form: at most 3 bytes for each UTF-16 unit.
const size_t display_size = 3 * VideoCapture::max_name + 1;

// A failure (negative HRESULT) is thrown.
void check(HRESULT hr) {
    if (FAILED(hr)) throw static_cast<long>(hr);
}

// Anything but S_OK is thrown.
void check_ok(HRESULT hr) {
    if (hr != S_OK) throw static_cast<long>(hr);
}

template <class T>
void release(T *&object) {
    if (object) {
        object->Release();
        object = nullptr;
    }
}

// Frees what a media type handed out by the platform holds.
void free_media_type(AM_MEDIA_TYPE &type) {
    if (type.pbFormat) CoTaskMemFree(type.pbFormat);
    type.pbFormat = nullptr;
    type.cbFormat = 0;
    release(type.pUnk);
}

void delete_media_type(AM_MEDIA_TYPE *type) {
    if (!type) return;
    free_media_type(*type);
    CoTaskMemFree(type);
}

// What ControlStream answers for a pin without stream control; such a pin
// streams from Run to Stop anyway.
bool no_stream_control(HRESULT hr) { return hr == E_FAIL || hr == E_NOTIMPL || hr == E_NOINTERFACE; }

// `count` UTF-16 units (-1: up to a terminating zero) as text of the code
// page, without the terminating zero.
std::string narrow(UINT code_page, const WCHAR *text, int count) {
    int length = WideCharToMultiByte(code_page, 0, text, count, nullptr, 0, nullptr, nullptr);
    if (length <= 0) return std::string();
    std::string out(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(code_page, 0, text, count, &out[0], length, nullptr, nullptr);
    if (count == -1) out.pop_back();  // the terminating zero
    return out;
}

// A name as the system's 8-bit text, which options, messages and the strip
// use: the ANSI code page on Windows, UTF-8 elsewhere.
std::string system_text(const WCHAR *text) {
#ifdef _WIN32
    return narrow(CP_ACP, text, -1);
#else
    return narrow(CP_UTF8, text, -1);
#endif
}

// A device's name as read, in UTF-8 (what the console takes whatever the
// code page), for its "fname:" line.
std::string utf8_of(const std::u16string &name) {
    return narrow(CP_UTF8, reinterpret_cast<const WCHAR *>(name.data()), static_cast<int>(name.size()));
}

// How long stopping the graph may take. A capture filter whose thread never
// comes back from its device (a camera that stopped sending, on a platform
// that waits for its next frame) would otherwise hold the caller for good.
const std::chrono::milliseconds stop_limit(1000);

// What a stop that did not end within stop_limit is thrown as:
// HRESULT_FROM_WIN32(ERROR_TIMEOUT).
const HRESULT stop_timed_out = static_cast<HRESULT>(0x800705B4UL);

// Runs control->StopWhenReady() on a thread of its own and waits for it at
// most stop_limit. False when it has not come back by then: the thread is
// left behind with its own reference to `control`, to end whenever the
// graph lets it, and sets `ended` then. Without a thread to spare, stops on
// the calling thread.
bool stop_in_time(IMediaControl *control, HRESULT &result, std::shared_ptr<std::atomic<bool>> &ended) {
    struct Outcome {
        std::mutex mutex;
        std::condition_variable done_cv;
        bool done = false;
        HRESULT result = S_OK;
        std::shared_ptr<std::atomic<bool>> ended = std::make_shared<std::atomic<bool>>(false);
    };
    std::shared_ptr<Outcome> outcome;
    try {
        outcome = std::make_shared<Outcome>();
        control->AddRef();
        std::thread([outcome, control] {
            bool com = SUCCEEDED(CoInitialize(nullptr));
            HRESULT hr = control->StopWhenReady();
            control->Release();
            if (com) CoUninitialize();
            std::lock_guard<std::mutex> lock(outcome->mutex);
            outcome->result = hr;
            outcome->done = true;
            *outcome->ended = true;
            outcome->done_cv.notify_all();
        }).detach();
    } catch (const std::exception &) {
        if (outcome) control->Release();
        result = control->StopWhenReady();
        return true;
    }
    std::unique_lock<std::mutex> lock(outcome->mutex);
    if (!outcome->done_cv.wait_for(lock, stop_limit, [&] { return outcome->done; })) {
        ended = outcome->ended;
        return false;
    }
    result = outcome->result;
    return true;
}

// True on a thread while it runs SampleCB.
thread_local bool in_sample_callback = false;

// The device's "DevicePath" property as the system's text; for a device
// without one, "vfw:N" from its "VFWIndex" (a Video for Windows driver, as
// every camera is under Wine); else empty.
std::string device_path(IPropertyBag *properties) {
    std::string path;
    VARIANT value;
    VariantInit(&value);
    if (SUCCEEDED(properties->Read(OLESTR("DevicePath"), &value, nullptr)) && V_VT(&value) == VT_BSTR &&
        V_BSTR(&value)) {
        path = system_text(V_BSTR(&value));
    }
    VariantClear(&value);
    if (path.empty() && SUCCEEDED(properties->Read(OLESTR("VFWIndex"), &value, nullptr)) &&
        V_VT(&value) == VT_I4)
        path = "vfw:" + std::to_string(V_I4(&value));
    VariantClear(&value);
    return path;
}

// Asks a device's capture pin for frames of width x height: one of the
// formats it lists with that size, else its current format with the size
// changed. The device may refuse; the size it connects with is what counts.
void ask_size(ICaptureGraphBuilder2 *builder, IBaseFilter *filter, int width, int height) {
    IAMStreamConfig *config = nullptr;
    if (FAILED(builder->FindInterface(&PIN_CATEGORY_CAPTURE, &MEDIATYPE_Video, filter, IID_IAMStreamConfig,
                                      reinterpret_cast<void **>(&config))) ||
        !config)
        return;
    auto has_size = [&](const AM_MEDIA_TYPE *type) {
        if (type->formattype != FORMAT_VideoInfo || !type->pbFormat ||
            type->cbFormat < sizeof(VIDEOINFOHEADER))
            return false;
        const BITMAPINFOHEADER &h = reinterpret_cast<const VIDEOINFOHEADER *>(type->pbFormat)->bmiHeader;
        return h.biWidth == width && (h.biHeight == height || h.biHeight == -height);
    };
    bool done = false;
    int count = 0, size = 0;
    if (SUCCEEDED(config->GetNumberOfCapabilities(&count, &size)) && count > 0 && size > 0) {
        std::vector<BYTE> caps(static_cast<size_t>(size));
        for (int i = 0; i < count && !done; ++i) {
            AM_MEDIA_TYPE *type = nullptr;
            if (FAILED(config->GetStreamCaps(i, &type, caps.data())) || !type) continue;
            if (has_size(type)) done = SUCCEEDED(config->SetFormat(type));
            delete_media_type(type);
        }
    }
    AM_MEDIA_TYPE *type = nullptr;
    if (!done && SUCCEEDED(config->GetFormat(&type)) && type) {
        if (type->formattype == FORMAT_VideoInfo && type->pbFormat &&
            type->cbFormat >= sizeof(VIDEOINFOHEADER)) {
            VIDEOINFOHEADER *info = reinterpret_cast<VIDEOINFOHEADER *>(type->pbFormat);
            BITMAPINFOHEADER &h = info->bmiHeader;
            h.biWidth = width;
            h.biHeight = h.biHeight < 0 ? -height : height;
            h.biSizeImage =
                static_cast<DWORD>(((static_cast<size_t>(width) * h.biBitCount / 8 + 3) & ~size_t{3}) *
                                   static_cast<size_t>(height));
            info->rcSource = RECT{0, 0, 0, 0};
            info->rcTarget = RECT{0, 0, 0, 0};
            type->lSampleSize = h.biSizeImage;
            config->SetFormat(type);
        }
        delete_media_type(type);
    }
    config->Release();
}

}  // namespace

VideoDevice::VideoDevice()
    : display_name(new char[display_size]()), filter_name(new WCHAR[name_size]()), filter(nullptr) {}

VideoDevice::~VideoDevice() {
    delete[] display_name;
    delete[] filter_name;
}

char *VideoDevice::GetFriendlyName() { return display_name; }

VideoCapture::CallbackHandler::CallbackHandler(frame_function_type function)
    : bits_per_pixel(0), frame_function(function) {}

VideoCapture::CallbackHandler::~CallbackHandler() {}

HRESULT STDMETHODCALLTYPE VideoCapture::CallbackHandler::QueryInterface(REFIID riid, void **out) {
    if (!out) return E_POINTER;
    if (IsEqualIID(riid, IID_ISampleGrabberCB) || IsEqualIID(riid, IID_IUnknown)) {
        *out = static_cast<ISampleGrabberCB *>(this);
        return S_OK;
    }
    return E_NOINTERFACE;
}

// The handler is owned by its VideoCapture, not reference counted.
ULONG STDMETHODCALLTYPE VideoCapture::CallbackHandler::AddRef() { return 1; }

ULONG STDMETHODCALLTYPE VideoCapture::CallbackHandler::Release() { return 2; }

HRESULT STDMETHODCALLTYPE VideoCapture::CallbackHandler::SampleCB(double, IMediaSample *sample) {
    // Counted before the check, so Detach either sees this call or this call
    // sees Detach.
    struct InFlight {
        std::atomic<int> &count;
        explicit InFlight(std::atomic<int> &c) : count(c) {
            ++count;
            in_sample_callback = true;
        }
        ~InFlight() {
            in_sample_callback = false;
            --count;
        }
    } in_flight_guard(in_flight);
    if (detached || !sample) return S_OK;
    BYTE *data = nullptr;
    if (sample->GetPointer(&data) != S_OK) return S_OK;
    AM_MEDIA_TYPE *type = nullptr;
    HRESULT hr = sample->GetMediaType(&type);
    if (FAILED(hr)) return S_OK;
    if (hr == S_OK && type) SetMediaType(type);
    delete_media_type(type);
    frame_function(data, static_cast<int>(sample->GetActualDataLength()), bits_per_pixel);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE VideoCapture::CallbackHandler::BufferCB(double, BYTE *, LONG) { return S_OK; }

void VideoCapture::CallbackHandler::Detach() {
    detached = true;
    if (in_sample_callback) return;
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (in_flight > 0 && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void VideoCapture::CallbackHandler::Attach() { detached = false; }

void VideoCapture::CallbackHandler::SetMediaType(AM_MEDIA_TYPE *type) {
    if (IsEqualGUID(type->subtype, MEDIASUBTYPE_RGB555)) {
        bits_per_pixel = 16;
    } else if (IsEqualGUID(type->subtype, MEDIASUBTYPE_RGB24)) {
        bits_per_pixel = 24;
    } else if (IsEqualGUID(type->subtype, MEDIASUBTYPE_RGB32)) {
        bits_per_pixel = 32;
    }
}

VideoCapture::VideoCapture(frame_function_type function, void (*announce)(const char *name))
    : graph(nullptr),
      builder(nullptr),
      control(nullptr),
      null_renderer(nullptr),
      grabber_filter(nullptr),
      grabber(nullptr),
      playing(false),
      device_list(nullptr),
      current_device(nullptr),
      device_count(0),
      frame_width(0),
      frame_height(0),
      sample_handler(nullptr),
      com_initialised(false),
      announce_devices(announce) {
    com_initialised = SUCCEEDED(CoInitialize(nullptr));
    sample_handler = new CallbackHandler(function);
    device_list = new VideoDevice[max_devices];
    try {
        InitializeGraph();
        SetSourceFilters();
        SetSampleGrabber();
        SetNullRenderer();
    } catch (...) {
        // The destructor does not run for a constructor that throws.
        release_graph();
        delete[] device_list;
        delete sample_handler;
        if (com_initialised) CoUninitialize();
        throw;
    }
}

VideoCapture::~VideoCapture() {
    release_graph();
    delete sample_handler;
    // delete[] destroys the entries from the last to the first.
    delete[] device_list;
    // COM stays up while a graph's thread may still run in its libraries.
    if (com_initialised && !abandoned) CoUninitialize();
}

HRESULT VideoCapture::stop_graph() {
    if (abandoned) return stop_timed_out;
    HRESULT hr = S_OK;
    if (!stop_in_time(control, hr, abandoned_stop_ended)) {
        abandoned = true;
        sample_handler->Detach();
        return stop_timed_out;
    }
    return hr;
}

bool VideoCapture::StopPending() const { return abandoned && !*abandoned_stop_ended; }

void VideoCapture::release_graph() {
    // Once the stop left behind has ended, nothing runs in the graph: it is
    // released as any other.
    if (abandoned && !StopPending()) abandoned = false;
    if (playing && control) stop_graph();
    playing = false;
    if (abandoned) {
        // A thread of the graph is still in a stop that did not end and may
        // use any of these objects, the sample handler among them: they are
        // let go with the process, not released. The handler is detached.
        sample_handler = nullptr;
        current_device = nullptr;
        if (device_list) {
            for (int i = 0; i < max_devices; ++i) device_list[i].filter = nullptr;
        }
        grabber = nullptr;
        grabber_filter = nullptr;
        null_renderer = nullptr;
        control = nullptr;
        builder = nullptr;
        graph = nullptr;
        return;
    }
    // Whether or not the graph stopped, no sample reaches the frame function
    // from here on, and the grabber lets go of the handler before it is freed.
    if (sample_handler) sample_handler->Detach();
    if (grabber) grabber->SetCallback(nullptr, 0);
    current_device = nullptr;
    if (device_list) {
        for (int i = 0; i < max_devices; ++i) release(device_list[i].filter);
    }
    release(grabber);
    release(grabber_filter);
    release(null_renderer);
    release(control);
    release(builder);
    release(graph);
}

VideoDevice *VideoCapture::GetDevices() { return device_list; }

int VideoCapture::NumDevices() { return device_count; }

void VideoCapture::InitializeGraph() {
    check(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterGraph2,
                           reinterpret_cast<void **>(&graph)));
    check(CoCreateInstance(CLSID_CaptureGraphBuilder2, nullptr, CLSCTX_INPROC_SERVER,
                           IID_ICaptureGraphBuilder2, reinterpret_cast<void **>(&builder)));
    check(graph->QueryInterface(IID_IMediaControl, reinterpret_cast<void **>(&control)));
    builder->SetFiltergraph(graph);
}

void VideoCapture::SetSourceFilters() {
    ICreateDevEnum *enumerator = nullptr;
    check(CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER, IID_ICreateDevEnum,
                           reinterpret_cast<void **>(&enumerator)));
    IEnumMoniker *monikers = nullptr;
    HRESULT hr = enumerator->CreateClassEnumerator(CLSID_VideoInputDeviceCategory, &monikers, 0);
    if (FAILED(hr)) {
        enumerator->Release();
        throw static_cast<long>(hr);
    }
    device_count = 0;
    if (hr == S_FALSE || !monikers) {
        release(monikers);
        enumerator->Release();
        return;
    }

    // One request for up to eight devices; any further ones are never seen.
    IMoniker *table[max_devices] = {};
    ULONG fetched = 0;
    monikers->Next(max_devices, table, &fetched);
    if (fetched > static_cast<ULONG>(max_devices)) fetched = max_devices;

    // The names as read, for telling identical devices apart.
    std::u16string read_names[max_devices];
    for (ULONG i = 0; i < fetched; ++i) {
        IPropertyBag *properties = nullptr;
        if (SUCCEEDED(table[i]->BindToStorage(nullptr, nullptr, IID_IPropertyBag,
                                              reinterpret_cast<void **>(&properties)))) {
            VARIANT name;
            VariantInit(&name);
            HRESULT read = properties->Read(OLESTR("Description"), &name, nullptr);
            if (FAILED(read)) read = properties->Read(OLESTR("FriendlyName"), &name, nullptr);
            if (SUCCEEDED(read) && V_VT(&name) == VT_BSTR && V_BSTR(&name)) {
                VideoDevice &d = device_list[device_count];
                const OLECHAR *text = V_BSTR(&name);
                std::u16string &read = read_names[device_count];
                read.clear();
                for (int k = 0; k < max_name && text[k] != 0; ++k)
                    read.push_back(static_cast<char16_t>(text[k]));
                // A second (third, ...) device of the same name is told apart
                // by " #2" (" #3", ...), cutting the name to make room.
                int same = 0;
                for (int k = 0; k < device_count; ++k) same += read_names[k] == read;
                ++device_count;
                std::u16string shown = read;
                if (same > 0) {
                    std::string suffix = " #" + std::to_string(same + 1);
                    shown.resize(std::min(shown.size(), static_cast<size_t>(max_name) - suffix.size()));
                    for (char c : suffix) shown.push_back(static_cast<char16_t>(c));
                }
                size_t n = 0;
                for (; n < shown.size(); ++n) d.filter_name[n] = static_cast<WCHAR>(shown[n]);
                d.filter_name[n] = 0;
                std::string narrow_name = system_text(d.filter_name);
                narrow_name.copy(d.display_name, display_size - 1);
                d.display_name[std::min(narrow_name.size(), display_size - 1)] = 0;
                // The number that tells identical devices apart is not part of their name.
                if (announce_devices) announce_devices(utf8_of(read).c_str());
                d.device_path = device_path(properties);
                HRESULT added = graph->AddSourceFilterForMoniker(table[i], nullptr, d.filter_name, &d.filter);
                // Success codes such as VFW_S_DUPLICATE_NAME still add the filter.
                if (FAILED(added) || !d.filter) {
                    // Not counted: the next device takes this entry.
                    if (d.filter) {
                        graph->RemoveFilter(d.filter);
                        release(d.filter);
                    }
                    --device_count;
                }
            }
            VariantClear(&name);
            properties->Release();
        }
        table[i]->Release();
    }
    monikers->Release();
    enumerator->Release();
}

void VideoCapture::SetSampleGrabber() {
    check(CoCreateInstance(CLSID_SampleGrabber, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                           reinterpret_cast<void **>(&grabber_filter)));
    check_ok(graph->AddFilter(grabber_filter, OLESTR("Sample Grabber")));
    check_ok(grabber_filter->QueryInterface(IID_ISampleGrabber, reinterpret_cast<void **>(&grabber)));
    AM_MEDIA_TYPE type = {};
    type.majortype = MEDIATYPE_Video;
    type.subtype = MEDIASUBTYPE_RGB24;
    sample_handler->SetMediaType(&type);
    check_ok(grabber->SetMediaType(&type));
    grabber->SetCallback(sample_handler, 0);
}

void VideoCapture::SetNullRenderer() {
    check(CoCreateInstance(CLSID_NullRenderer, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                           reinterpret_cast<void **>(&null_renderer)));
    graph->AddFilter(null_renderer, OLESTR("Null Renderer"));
}

void VideoCapture::Select(VideoDevice *device) {
    bool was_playing = playing;
    if (!device || !device->filter) throw static_cast<long>(E_INVALIDARG);
    if (abandoned) throw static_cast<long>(stop_timed_out);
    if (was_playing) {
        check(stop_graph());
        playing = false;
    }
    unplug_current();
    current_device = device;
    FormatRequest request;
    request.fourcc = wanted_format;
    request.width = wanted_width > 0 && wanted_height > 0 ? wanted_width : 0;
    request.height = request.width > 0 ? wanted_height : 0;
    request.fps = wanted_fps;
    // A format the device lists that fits the request, else (a device that
    // lists none) just the size.
    if (request.any() && !ask_format(builder, device->filter, request) && request.width > 0)
        ask_size(builder, device->filter, wanted_width, wanted_height);
    check_ok(builder->RenderStream(&PIN_CATEGORY_CAPTURE, &MEDIATYPE_Video, device->filter, grabber_filter,
                                   null_renderer));
    obtained = CameraFormat();
    current_format(builder, device->filter, obtained);

    AM_MEDIA_TYPE type = {};
    frame_width = 0;
    frame_height = 0;
    if (SUCCEEDED(grabber->GetConnectedMediaType(&type))) {
        if (type.pbFormat && type.cbFormat >= sizeof(VIDEOINFOHEADER)) {
            const VIDEOINFOHEADER *info = reinterpret_cast<const VIDEOINFOHEADER *>(type.pbFormat);
            frame_width = info->bmiHeader.biWidth;
            frame_height = info->bmiHeader.biHeight;
        }
        free_media_type(type);
    }

    // 100-ns units. MAXLONGLONG cancels any stop: a finite stop time would
    // end a stream-controlled pin's frames once it is reached.
    REFERENCE_TIME start = 0;
    REFERENCE_TIME stop = MAXLONGLONG;
    HRESULT controlled =
        builder->ControlStream(&PIN_CATEGORY_CAPTURE, &MEDIATYPE_Video, device->filter, &start, &stop, 1, 2);
    if (FAILED(controlled) && !no_stream_control(controlled)) throw static_cast<long>(controlled);

    if (was_playing) {
        check(control->Run());
        playing = true;
    }
}

void VideoCapture::unplug_current() {
    if (!current_device) return;
    // Both filters go back unconnected; the grabber loses its link to the
    // null renderer too.
    graph->RemoveFilter(current_device->filter);
    graph->RemoveFilter(grabber_filter);
    graph->AddFilter(grabber_filter, OLESTR("Sample Grabber"));
    graph->AddFilter(current_device->filter, current_device->filter_name);
}

void VideoCapture::Start() {
    if (abandoned) throw static_cast<long>(stop_timed_out);
    sample_handler->Attach();
    check(control->Run());
    playing = true;
}

void VideoCapture::Stop() {
    HRESULT hr = stop_graph();
    if (FAILED(hr)) {
        // The stream may run on: cut it off from the frame function, whose
        // buffers the caller is about to free.
        sample_handler->Detach();
        throw static_cast<long>(hr);
    }
    playing = false;
}

void VideoCapture::Disconnect() {
    if (playing) {
        stop_graph();
        playing = false;
    }
    if (!abandoned) unplug_current();
    current_device = nullptr;
    frame_width = 0;
    frame_height = 0;
    obtained = CameraFormat();
}

void VideoCapture::GetSize(int &width, int &height) {
    width = frame_width;
    height = frame_height;
}

bool VideoCapture::DeviceLost() {
    if (!graph || abandoned) return false;
    IMediaEvent *events = nullptr;
    if (FAILED(graph->QueryInterface(IID_IMediaEvent, reinterpret_cast<void **>(&events))) || !events)
        return false;
    bool lost = false;
    long code = 0;
    LONG_PTR param1 = 0;
    LONG_PTR param2 = 0;
    while (events->GetEvent(&code, &param1, &param2, 0) == S_OK) {
        // EC_DEVICE_LOST's second parameter is 0 when the device went away, 1
        // when it came back.
        if ((code == EC_DEVICE_LOST && param2 == 0) || code == EC_ERRORABORT) lost = true;
        events->FreeEventParams(code, param1, param2);
    }
    events->Release();
    return lost;
}
