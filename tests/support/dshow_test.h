// Test devices for the portable DirectShow: in-process capture devices with
// chosen names, missing properties, failures and frame producers, so that
// device listing and sample delivery can be tested without hardware; and a
// few questions about a graph's state.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/directshow.h"

namespace dshow_test {

// One sample as a test device produces it. `data` comes sized and zeroed for
// one frame of the device's format (bottom-up rows padded to 4 bytes) and
// keeps what the producer left in it from one sample to the next.
struct Sample {
    unsigned index = 0;  // 0, 1, 2, ... since Run
    int width = 0;
    int height = 0;
    std::vector<unsigned char> data;
    LONG length = -1;               // GetActualDataLength; -1: data.size()
    HRESULT pointer_result = S_OK;  // GetPointer
    HRESULT type_result = S_FALSE;  // GetMediaType; S_OK: changed to `subtype`
    GUID subtype = {};
};

struct Device {
    std::optional<std::u16string> description;                     // "Description"
    std::optional<std::u16string> friendly_name = u"Test camera";  // "FriendlyName"
    std::optional<std::u16string> device_path;                     // "DevicePath"
    HRESULT bind_result = S_OK;                                    // IMoniker::BindToStorage
    HRESULT read_result = S_OK;                                    // IPropertyBag::Read of any property
    HRESULT add_result = S_OK;      // AddSourceFilterForMoniker (a success code adds the filter)
    HRESULT render_result = S_OK;   // RenderStream (a success code connects)
    HRESULT control_result = S_OK;  // ControlStream: a failure means no stream control
    HRESULT run_result = S_OK;      // the device's start in Run
    HRESULT stop_result = S_OK;     // StopWhenReady: a failure leaves it streaming
    int width = 640;
    int height = 480;  // negative: a top-down source
    // Stream time added per sample (100 ns units), so a stop time far off
    // comes within a test's reach; 0: the time since Run.
    REFERENCE_TIME sample_time_step = 0;
    bool any_size = false;  // takes the size asked for through IAMStreamConfig
    // Called on the streaming thread before each sample; false ends the
    // stream as an unplugged camera would. Empty: unchanged frames forever.
    std::function<bool(Sample &)> produce;
    int interval_ms = 2;  // pause before each sample
};

// From now on the device enumerator lists the test devices only (none
// until added), never the machine's cameras.
void use_test_devices();
void add_device(const Device &device);
// Forgets the test devices and injected failures; the enumerator lists the
// machine's cameras again.
void reset();

// CoCreateInstance of `clsid` fails with `result` (S_OK: no longer).
void fail_create(const CLSID &clsid, HRESULT result);
// ICreateDevEnum::CreateClassEnumerator fails with `result`.
void fail_class_enumerator(HRESULT result);

// The class ids of the sample grabber and the null renderer.
const CLSID &sample_grabber_clsid();
const CLSID &null_renderer_clsid();

// The names of the filters in a graph (made by CLSID_FilterGraph), in the
// order they were added.
std::vector<std::u16string> filter_names(IUnknown *graph);
// True when `from` feeds `to` directly.
bool is_connected(IBaseFilter *from, IBaseFilter *to);
// True when the filter has any connection.
bool has_connections(IBaseFilter *filter);
// True while the sample grabber holds a callback.
bool has_callback(IBaseFilter *grabber);
bool is_running(IUnknown *graph);
// Test device streams open now (connected devices).
int open_streams();

}  // namespace dshow_test
