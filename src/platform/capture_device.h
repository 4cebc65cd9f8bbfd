// Inside the portable DirectShow: what a capture device offers to the
// filter graph. V4L2 devices and the tests' in-process devices implement it.
// Not for the program's modules.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/dib.h"
#include "platform/directshow.h"

namespace lumivex_platform {

// One sample as the grabber hands it on.
struct SampleData {
    BYTE *data = nullptr;
    LONG length = 0;
    HRESULT pointer_result = S_OK;  // GetPointer
    HRESULT type_result = S_FALSE;  // GetMediaType: S_OK = changed to `subtype`
    GUID subtype = {};
    // Stream time in 100 ns units since Run; -1: the layer's clock gives it.
    REFERENCE_TIME time = -1;
};

// One way a device can send frames: its V4L2 pixel format, frame size and
// frame interval (100 ns units).
struct DeviceFormat {
    uint32_t fourcc;
    int width;
    int height;
    int64_t interval;
};

// An opened, connected device.
class DeviceStream {
  public:
    virtual ~DeviceStream() = default;
    // Negotiated frame size (positive).
    virtual int width() const = 0;
    virtual int height() const = 0;
    // Starts capturing; on the thread that runs the graph.
    virtual HRESULT start() = 0;
    enum class Next { sample, idle, end };
    // On the streaming thread: waits a short while (at most ~50 ms) for the
    // next frame. `sample`: it is in `out` as a bottom-up DIB with padded
    // rows, valid until the next call. `idle`: nothing yet, ask again.
    // `end`: the device is gone or finished; no more samples.
    virtual Next next(SampleData &out) = 0;
    // Stops capturing; after the streaming thread has ended.
    virtual void stop() = 0;
    // What the camera itself sends: its V4L2 pixel format (BGR3 when it is
    // not known) and frame interval in 100 ns units (0: not known).
    virtual uint32_t camera_fourcc() const { return 0x33524742; }
    virtual int64_t frame_interval() const { return 0; }
};

// One enumerated device, behind its moniker and source filter.
class CaptureDevice {
  public:
    virtual ~CaptureDevice() = default;
    // Result of IMoniker::BindToStorage for its property bag.
    virtual HRESULT bind_properties() { return S_OK; }
    // One property as text; a failure when the device lacks it.
    virtual HRESULT read_property(const std::u16string &name, std::u16string &value) = 0;
    // Result of AddSourceFilterForMoniker before the filter joins the graph.
    virtual HRESULT create_source() { return S_OK; }
    // The frame size the next connect asks the device for (IAMStreamConfig).
    virtual void request_size(int width, int height) = 0;
    // The camera format (a V4L2 pixel format; 0: any the device converts to
    // BGR) and frame interval (100 ns units; 0: the device's own) the next
    // connect asks for, with the size of request_size.
    virtual void request_format(uint32_t, int64_t) {}
    // The formats the device offers, as far as it tells.
    virtual std::vector<DeviceFormat> formats() { return {}; }
    // Opens the device and negotiates 24-bit BGR (RenderStream).
    virtual HRESULT connect(std::unique_ptr<DeviceStream> &stream) = 0;
    // Result of ControlStream for this device: a failure means it has no
    // stream control.
    virtual HRESULT control_stream() { return S_OK; }
    // Result of StopWhenReady for this device's stream: a failure leaves it
    // streaming.
    virtual HRESULT stop_result() { return S_OK; }
};

typedef std::vector<std::shared_ptr<CaptureDevice>> DeviceList;

// Test seam: the tests' in-process devices and injected failures
// (tests/support/dshow_test.cpp) install themselves here; the program
// leaves it null and lists the V4L2 devices.
struct DeviceHooks {
    bool (*active)();  // true: list devices() instead of the V4L2 devices
    DeviceList (*devices)();
    HRESULT (*create_failure)(REFCLSID clsid);
    HRESULT (*class_enumerator_result)();
};
extern std::atomic<const DeviceHooks *> device_hooks;

// The devices to enumerate now: the test devices when tests asked for them,
// else the V4L2 devices.
DeviceList current_devices();
DeviceList v4l2_devices();
// A CoCreateInstance failure that tests asked for, or S_OK.
HRESULT test_create_failure(REFCLSID clsid);
HRESULT test_class_enumerator_result();

// A graph's state, for tests: the names of the filters in a graph (made by
// CLSID_FilterGraph) in the order they were added, whether `from` feeds `to`
// directly, whether a filter has any connection, whether a sample grabber
// holds a callback, whether a graph runs.
std::vector<std::u16string> graph_filter_names(IUnknown *graph);
bool graph_filters_connected(IBaseFilter *from, IBaseFilter *to);
bool graph_filter_has_connections(IBaseFilter *filter);
bool graph_has_callback(IBaseFilter *grabber);
bool graph_is_running(IUnknown *graph);

// The layer's classes, for CoCreateInstance.
extern const CLSID sample_grabber_class;
extern const CLSID null_renderer_class;
HRESULT create_filter_graph(REFIID riid, void **object);
HRESULT create_capture_graph_builder(REFIID riid, void **object);
HRESULT create_system_device_enum(REFIID riid, void **object);
HRESULT create_sample_grabber(REFIID riid, void **object);
HRESULT create_null_renderer(REFIID riid, void **object);

// Converts UTF-8 (e.g. a V4L2 card name) to UTF-16; bad bytes become U+FFFD.
std::u16string utf8_to_utf16(const std::string &text);

}  // namespace lumivex_platform
