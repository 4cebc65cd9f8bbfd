// The device list and the failures the enumerator and CoCreateInstance
// report: the V4L2 devices and none, unless tests installed DeviceHooks.
#include "platform/capture_device.h"

namespace lumivex_platform {

std::atomic<const DeviceHooks *> device_hooks{nullptr};

DeviceList current_devices() {
    const DeviceHooks *hooks = device_hooks.load();
    if (hooks && hooks->active()) return hooks->devices();
    return v4l2_devices();
}

HRESULT test_create_failure(REFCLSID clsid) {
    const DeviceHooks *hooks = device_hooks.load();
    return hooks ? hooks->create_failure(clsid) : S_OK;
}

HRESULT test_class_enumerator_result() {
    const DeviceHooks *hooks = device_hooks.load();
    return hooks ? hooks->class_enumerator_result() : S_OK;
}

}  // namespace lumivex_platform
