// Camera controls on Windows: the v4l2-ctl names mapped onto the capture
// filter's IAMVideoProcAmp and IAMCameraControl properties, whose auto flags
// appear as the automatic controls (white_balance_automatic, auto_exposure,
// focus_automatic_continuous); and the driver's own settings dialog.
// Values and ranges are the driver's own: DirectShow gives exposure as log2
// of seconds (-5 is 1/32 s), not in V4L2's 100 microsecond units.
#ifdef _WIN32

#include <olectl.h>

#include <cstdio>
#include <string>
#include <thread>

#include "capture/capture.h"
#include "capture/controls.h"
#include "capture/status_lines.h"

namespace {

enum class Source { proc_amp, camera };

struct Property {
    const char *name;
    Source source;
    long id;
    const char *automatic;  // the name of its auto flag as a control, or nullptr
};

const Property properties[] = {
    {"brightness", Source::proc_amp, VideoProcAmp_Brightness, nullptr},
    {"contrast", Source::proc_amp, VideoProcAmp_Contrast, nullptr},
    {"saturation", Source::proc_amp, VideoProcAmp_Saturation, nullptr},
    {"hue", Source::proc_amp, VideoProcAmp_Hue, nullptr},
    {"gamma", Source::proc_amp, VideoProcAmp_Gamma, nullptr},
    {"white_balance_temperature", Source::proc_amp, VideoProcAmp_WhiteBalance, "white_balance_automatic"},
    {"sharpness", Source::proc_amp, VideoProcAmp_Sharpness, nullptr},
    {"backlight_compensation", Source::proc_amp, VideoProcAmp_BacklightCompensation, nullptr},
    {"gain", Source::proc_amp, VideoProcAmp_Gain, nullptr},
    {"exposure_time_absolute", Source::camera, CameraControl_Exposure, "auto_exposure"},
    {"iris_absolute", Source::camera, CameraControl_Iris, nullptr},
    {"focus_absolute", Source::camera, CameraControl_Focus, "focus_automatic_continuous"},
    {"zoom_absolute", Source::camera, CameraControl_Zoom, nullptr},
    {"pan_absolute", Source::camera, CameraControl_Pan, nullptr},
    {"tilt_absolute", Source::camera, CameraControl_Tilt, nullptr},
};

// auto_exposure is a menu as V4L2 has it: 1 manual, 3 aperture priority
// (the camera's automatic mode).
const long exposure_manual = 1;
const long exposure_automatic = 3;

std::string hresult_text(HRESULT hr) {
    char text[40];
    std::snprintf(text, sizeof text, "error 0x%08lX", static_cast<unsigned long>(hr));
    return text;
}

class DShowControls : public CameraControls {
  public:
    explicit DShowControls(IBaseFilter *filter) {
        if (!filter) return;
        filter->QueryInterface(IID_IAMVideoProcAmp, reinterpret_cast<void **>(&proc_amp));
        filter->QueryInterface(IID_IAMCameraControl, reinterpret_cast<void **>(&camera));
    }
    ~DShowControls() override {
        if (proc_amp) proc_amp->Release();
        if (camera) camera->Release();
    }
    DShowControls(const DShowControls &) = delete;
    DShowControls &operator=(const DShowControls &) = delete;

    std::vector<CameraControl> list() override {
        std::vector<CameraControl> result;
        for (const Property &p : properties) {
            Range r;
            if (!range(p, r)) continue;
            long value = 0, flags = 0;
            bool known = SUCCEEDED(get(p, value, flags));
            CameraControl c;
            c.name = p.name;
            c.minimum = r.minimum;
            c.maximum = r.maximum;
            c.step = r.step > 0 ? r.step : 1;
            c.default_value = r.default_value;
            c.value = value;
            c.has_value = known;
            bool automatic = known && (flags & auto_flag) != 0;
            c.inactive = automatic;
            if (p.automatic && (r.caps & auto_flag)) {
                CameraControl a;
                a.name = p.automatic;
                a.has_value = known;
                a.default_value = (r.default_flags & auto_flag) ? 1 : 0;
                a.value = automatic ? 1 : 0;
                a.maximum = 1;
                a.type = CameraControl::Type::boolean;
                if (p.source == Source::camera && p.id == CameraControl_Exposure) {
                    a.type = CameraControl::Type::menu;
                    a.minimum = exposure_manual;
                    a.maximum = exposure_automatic;
                    a.value = automatic ? exposure_automatic : exposure_manual;
                    a.default_value = exposure_automatic;
                    a.menu = {{exposure_manual, "Manual Mode"},
                              {exposure_automatic, "Aperture Priority Mode"}};
                }
                result.push_back(a);
            }
            result.push_back(c);
        }
        return result;
    }

    std::string set(const std::string &name, long long value) override {
        for (const Property &p : properties) {
            long current = 0, flags = 0;
            if (name == p.name) {
                if (p.automatic && SUCCEEDED(get(p, current, flags)) && (flags & auto_flag))
                    return "locked by its automatic mode";
                HRESULT hr = put(p, static_cast<long>(value), manual_flag);
                return SUCCEEDED(hr) ? std::string() : hresult_text(hr);
            }
            if (p.automatic && name == p.automatic) {
                bool on = (p.source == Source::camera && p.id == CameraControl_Exposure)
                              ? value == exposure_automatic
                              : value != 0;
                HRESULT hr = get(p, current, flags);
                if (FAILED(hr)) return hresult_text(hr);
                hr = put(p, current, on ? auto_flag : manual_flag);
                return SUCCEEDED(hr) ? std::string() : hresult_text(hr);
            }
        }
        return "no such control";
    }

  private:
    // VideoProcAmp_Flags_* and CameraControl_Flags_* have the same values.
    static const long auto_flag = 1;
    static const long manual_flag = 2;

    struct Range {
        long minimum = 0, maximum = 0, step = 0, default_value = 0, caps = 0, default_flags = 0;
    };

    bool range(const Property &p, Range &r) {
        HRESULT hr = E_NOINTERFACE;
        if (p.source == Source::proc_amp && proc_amp)
            hr = proc_amp->GetRange(p.id, &r.minimum, &r.maximum, &r.step, &r.default_value, &r.caps);
        if (p.source == Source::camera && camera)
            hr = camera->GetRange(p.id, &r.minimum, &r.maximum, &r.step, &r.default_value, &r.caps);
        // The range's flags tell what the property can do; its default is automatic when it can be.
        r.default_flags = r.caps & auto_flag;
        return SUCCEEDED(hr);
    }

    HRESULT get(const Property &p, long &value, long &flags) {
        if (p.source == Source::proc_amp)
            return proc_amp ? proc_amp->Get(p.id, &value, &flags) : E_NOINTERFACE;
        return camera ? camera->Get(p.id, &value, &flags) : E_NOINTERFACE;
    }

    HRESULT put(const Property &p, long value, long flags) {
        if (p.source == Source::proc_amp) return proc_amp ? proc_amp->Set(p.id, value, flags) : E_NOINTERFACE;
        return camera ? camera->Set(p.id, value, flags) : E_NOINTERFACE;
    }

    IAMVideoProcAmp *proc_amp = nullptr;
    IAMCameraControl *camera = nullptr;
};

}  // namespace

std::unique_ptr<CameraControls> device_controls(VideoDevice &device) {
    return std::unique_ptr<CameraControls>(new DShowControls(device.filter));
}

void open_settings_dialog(VideoDevice &device, StatusLog &log) {
    IBaseFilter *filter = device.filter;
    ISpecifyPropertyPages *pages = nullptr;
    CAUUID ids = {0, nullptr};
    HRESULT hr = filter ? filter->QueryInterface(IID_ISpecifyPropertyPages, reinterpret_cast<void **>(&pages))
                        : E_POINTER;
    if (SUCCEEDED(hr)) {
        hr = pages->GetPages(&ids);
        pages->Release();
    }
    if (FAILED(hr) || ids.cElems == 0) {
        if (ids.pElems) CoTaskMemFree(ids.pElems);
        std::fprintf(
            stderr, "lumivex: %s (%s)\n",
            camera_line(device.GetFriendlyName(), "no settings dialog", "", whole_name).c_str(),
            FAILED(hr) ? (hresult_text(hr) + " from ISpecifyPropertyPages").c_str() : "it lists no pages");
        log.add_line(camera_line(device.GetFriendlyName(), "no settings dialog", "").c_str());
        return;
    }
    // The dialog runs its own message loop on a thread of its own, owned by
    // no window of ours, so the picture goes on behind it.
    filter->AddRef();
    std::wstring caption;
    for (const WCHAR *c = device.filter_name; *c; ++c) caption += *c;
    std::thread([filter, ids, caption] {
        HRESULT com = CoInitialize(nullptr);
        IUnknown *object = filter;
        HRESULT shown = OleCreatePropertyFrame(nullptr, 0, 0, caption.c_str(), 1, &object, ids.cElems,
                                               ids.pElems, 0, 0, nullptr);
        if (FAILED(shown))
            std::fprintf(stderr, "lumivex: the settings dialog failed: %s\n", hresult_text(shown).c_str());
        CoTaskMemFree(ids.pElems);
        filter->Release();
        if (SUCCEEDED(com)) CoUninitialize();
    }).detach();
}

#endif
