#include "capture/capture.h"

#include <vector>

#include "shell/utility.h"

namespace {

// Class ids of the sample grabber and the null renderer, which MinGW's
// headers do not define.
const CLSID CLSID_SampleGrabber = {
    0xC1F400A0, 0x3F08, 0x11D3, {0x9F, 0x0B, 0x00, 0x60, 0x08, 0x03, 0x9E, 0x37}};
const CLSID CLSID_NullRenderer = {
    0xC1F400A4, 0x3F08, 0x11D3, {0x9F, 0x0B, 0x00, 0x60, 0x08, 0x03, 0x9E, 0x37}};

const int name_size = VideoCapture::max_name + 1;

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

// The device's "DevicePath" property as 8-bit text, or empty.
std::string device_path(IPropertyBag *properties) {
    std::string path;
    VARIANT value;
    VariantInit(&value);
    if (SUCCEEDED(properties->Read(OLESTR("DevicePath"), &value, nullptr)) && V_VT(&value) == VT_BSTR &&
        V_BSTR(&value)) {
        for (const OLECHAR *c = V_BSTR(&value); *c; ++c) path += static_cast<char>(*c & 0xFF);
    }
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
    : display_name(new char[name_size]()), filter_name(new WCHAR[name_size]()), filter(nullptr) {}

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
    if (!sample) return S_OK;
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

void VideoCapture::CallbackHandler::SetMediaType(AM_MEDIA_TYPE *type) {
    if (IsEqualGUID(type->subtype, MEDIASUBTYPE_RGB555)) {
        bits_per_pixel = 16;
    } else if (IsEqualGUID(type->subtype, MEDIASUBTYPE_RGB24)) {
        bits_per_pixel = 24;
    } else if (IsEqualGUID(type->subtype, MEDIASUBTYPE_RGB32)) {
        bits_per_pixel = 32;
    }
}

VideoCapture::VideoCapture(frame_function_type function)
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
      com_initialised(false) {
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
    if (com_initialised) CoUninitialize();
}

void VideoCapture::release_graph() {
    if (playing && control) control->StopWhenReady();
    playing = false;
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
                ++device_count;
                const OLECHAR *text = V_BSTR(&name);
                int n = 0;
                for (; n < max_name && text[n] != 0; ++n) {
                    d.filter_name[n] = text[n];
                    d.display_name[n] = static_cast<char>(text[n] & 0xFF);
                }
                d.filter_name[n] = 0;
                d.display_name[n] = 0;
                console("fname: %s", d.display_name);
                d.device_path = device_path(properties);
                HRESULT added = graph->AddSourceFilterForMoniker(table[i], nullptr, d.filter_name, &d.filter);
                if (added != S_OK) {
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
    if (was_playing) {
        check(control->StopWhenReady());
        playing = false;
    }
    if (current_device) {
        // Both filters go back unconnected; the grabber loses its link to
        // the null renderer too.
        graph->RemoveFilter(current_device->filter);
        graph->RemoveFilter(grabber_filter);
        graph->AddFilter(grabber_filter, OLESTR("Sample Grabber"));
        graph->AddFilter(current_device->filter, current_device->filter_name);
    }
    current_device = device;
    if (wanted_width > 0 && wanted_height > 0) ask_size(builder, device->filter, wanted_width, wanted_height);
    check_ok(builder->RenderStream(&PIN_CATEGORY_CAPTURE, &MEDIATYPE_Video, device->filter, grabber_filter,
                                   null_renderer));

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

    // 100-ns units; the stop time is 0x7FFFFFFF, not the 64-bit maximum.
    REFERENCE_TIME start = 0;
    REFERENCE_TIME stop = 2147483647;
    check(
        builder->ControlStream(&PIN_CATEGORY_CAPTURE, &MEDIATYPE_Video, device->filter, &start, &stop, 1, 2));

    if (was_playing) {
        check(control->Run());
        playing = true;
    }
}

void VideoCapture::Start() {
    check(control->Run());
    playing = true;
}

void VideoCapture::Stop() {
    check(control->StopWhenReady());
    playing = false;
}

void VideoCapture::GetSize(int &width, int &height) {
    width = frame_width;
    height = frame_height;
}
