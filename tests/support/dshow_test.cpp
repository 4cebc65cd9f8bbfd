// The tests' in-process capture devices and injected failures, installed
// into the portable layer through its DeviceHooks.
#include "support/dshow_test.h"

#include <algorithm>
#include <chrono>
#include <mutex>
#include <thread>

#include "platform/capture_device.h"

namespace lumivex_platform {
namespace {

std::atomic<int> test_streams_open{0};

class TestStream : public DeviceStream {
  public:
    explicit TestStream(const dshow_test::Device &device) : device(device) { ++test_streams_open; }
    ~TestStream() override { --test_streams_open; }

    int width() const override { return device.width; }
    int height() const override { return device.height; }

    HRESULT start() override {
        if (FAILED(device.run_result)) return device.run_result;
        sample = dshow_test::Sample();
        due = std::chrono::steady_clock::time_point();
        sample.width = device.width;
        sample.height = device.height;
        size_t rows = static_cast<size_t>(device.height < 0 ? -device.height : device.height);
        sample.data.assign(dib_stride(device.width) * rows, 0);
        return S_OK;
    }

    Next next(SampleData &out) override {
        if (device.interval_ms > 0) {
            // Paced as a camera is: waits of at most 20 ms, so that a stop is
            // never held up for a whole frame period.
            const auto now = std::chrono::steady_clock::now();
            if (due == std::chrono::steady_clock::time_point())
                due = now + std::chrono::milliseconds(device.interval_ms);
            if (now < due) {
                std::this_thread::sleep_for(
                    std::min<std::chrono::steady_clock::duration>(due - now, std::chrono::milliseconds(20)));
                if (std::chrono::steady_clock::now() < due) return Next::idle;
            }
            due += std::chrono::milliseconds(device.interval_ms);
        }
        // Each sample starts from the defaults; the bytes are kept.
        sample.length = -1;
        sample.pointer_result = S_OK;
        sample.type_result = S_FALSE;
        sample.subtype = GUID_NULL;
        if (device.produce && !device.produce(sample)) return Next::end;
        ++sample.index;
        out.data = sample.data.data();
        out.length = sample.length >= 0 ? sample.length : static_cast<LONG>(sample.data.size());
        out.pointer_result = sample.pointer_result;
        out.type_result = sample.type_result;
        out.subtype = sample.subtype;
        out.time = device.sample_time_step > 0
                       ? static_cast<REFERENCE_TIME>(sample.index - 1) * device.sample_time_step
                       : -1;
        return Next::sample;
    }

    void stop() override {}

  private:
    dshow_test::Device device;
    dshow_test::Sample sample;
    std::chrono::steady_clock::time_point due;  // when the next paced frame is due
};

class TestDevice : public CaptureDevice {
  public:
    explicit TestDevice(const dshow_test::Device &device) : device(device) {}

    HRESULT bind_properties() override { return device.bind_result; }

    HRESULT read_property(const std::u16string &name, std::u16string &value) override {
        if (FAILED(device.read_result)) return device.read_result;
        const std::optional<std::u16string> *property = nullptr;
        if (name == u"Description") property = &device.description;
        if (name == u"FriendlyName") property = &device.friendly_name;
        if (name == u"DevicePath") property = &device.device_path;
        if (!property || !property->has_value()) return E_FAIL;
        value = **property;
        return S_OK;
    }

    HRESULT create_source() override { return device.add_result; }

    void request_size(int width, int height) override {
        if (!device.any_size) return;
        device.width = width;
        device.height = height;
    }

    HRESULT connect(std::unique_ptr<DeviceStream> &stream) override {
        if (FAILED(device.render_result)) return device.render_result;
        stream.reset(new TestStream(device));
        return device.render_result;
    }

    HRESULT control_stream() override { return device.control_result; }
    HRESULT stop_result() override { return device.stop_result; }

  private:
    dshow_test::Device device;
};

struct Registry {
    std::mutex mutex;
    bool active = false;
    DeviceList devices;
    std::vector<std::pair<CLSID, HRESULT>> create_failures;
    HRESULT enumerator_result = S_OK;
};

// Built on first use, so it is there even during static initialisation.
Registry &registry() {
    static Registry instance;
    return instance;
}

bool registry_active() {
    std::lock_guard<std::mutex> lock(registry().mutex);
    return registry().active;
}

DeviceList registry_devices() {
    std::lock_guard<std::mutex> lock(registry().mutex);
    return registry().devices;
}

HRESULT registry_create_failure(REFCLSID clsid) {
    std::lock_guard<std::mutex> lock(registry().mutex);
    for (const auto &failure : registry().create_failures) {
        if (failure.first == clsid) return failure.second;
    }
    return S_OK;
}

HRESULT registry_class_enumerator_result() {
    std::lock_guard<std::mutex> lock(registry().mutex);
    return registry().enumerator_result;
}

const DeviceHooks registry_hooks = {registry_active, registry_devices, registry_create_failure,
                                    registry_class_enumerator_result};

// The registry answers the layer's questions from the first call that
// changes it on; until then the layer sees no test devices and no failures,
// as it does after reset.
void install() { device_hooks.store(&registry_hooks); }

}  // namespace
}  // namespace lumivex_platform

namespace dshow_test {

using namespace lumivex_platform;

void use_test_devices() {
    install();
    std::lock_guard<std::mutex> lock(registry().mutex);
    registry().active = true;
}

void add_device(const Device &device) {
    install();
    std::lock_guard<std::mutex> lock(registry().mutex);
    registry().devices.push_back(std::make_shared<TestDevice>(device));
}

void reset() {
    std::lock_guard<std::mutex> lock(registry().mutex);
    registry().active = false;
    registry().devices.clear();
    registry().create_failures.clear();
    registry().enumerator_result = S_OK;
}

void fail_create(const CLSID &clsid, HRESULT result) {
    install();
    std::lock_guard<std::mutex> lock(registry().mutex);
    auto &failures = registry().create_failures;
    for (auto it = failures.begin(); it != failures.end(); ++it) {
        if (it->first == clsid) {
            failures.erase(it);
            break;
        }
    }
    if (result != S_OK) failures.emplace_back(clsid, result);
}

void fail_class_enumerator(HRESULT result) {
    install();
    std::lock_guard<std::mutex> lock(registry().mutex);
    registry().enumerator_result = result;
}

const CLSID &sample_grabber_clsid() { return sample_grabber_class; }

const CLSID &null_renderer_clsid() { return null_renderer_class; }

int open_streams() { return test_streams_open.load(); }

std::vector<std::u16string> filter_names(IUnknown *graph) { return graph_filter_names(graph); }

bool is_connected(IBaseFilter *from, IBaseFilter *to) { return graph_filters_connected(from, to); }

bool has_connections(IBaseFilter *filter) { return graph_filter_has_connections(filter); }

bool has_callback(IBaseFilter *grabber) { return graph_has_callback(grabber); }

bool is_running(IUnknown *graph) { return graph_is_running(graph); }

}  // namespace dshow_test
