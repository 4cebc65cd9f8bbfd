#include "pipeline/process.h"

#include <cstring>

#include "common/buffer.h"
#include "common/workers.h"
#include "pipeline/chain.h"
#include "pipeline/filter_registry.h"
#include "pipeline/frame_lock.h"

namespace {

// Smallest geometry the filters' windows fit in.
const unsigned int min_filter_size = 5;

size_t frame_bytes(const frame_set &f) { return f.pixels() * 3; }

// Frees *buffer if present and allocates one frame for it.
bool make_buffer(color_type *&buffer, size_t bytes) {
    if (buffer) {
        buffer_free(buffer);
        buffer = nullptr;
    }
    buffer = static_cast<color_type *>(buffer_alloc(bytes));
    return buffer != nullptr;
}

void free_buffer(color_type *&buffer) {
    if (buffer) {
        buffer_free(buffer);
        buffer = nullptr;
    }
}

}  // namespace

void process_start(FrameStore &store, StatusLog &log) {
    // The old buffers go first, and the geometry follows the camera even when
    // a buffer cannot be made: a buffer never outlives the geometry it was
    // made for, and one that is missing counts as absent everywhere.
    process_stop(store);
    frame_set &f = store.frames;
    const bool valid = store.camera_x_size >= 0 && store.camera_y_size >= 0;
    f.size_x = valid ? static_cast<unsigned int>(store.camera_x_size) : 0;
    f.size_y = valid ? static_cast<unsigned int>(store.camera_y_size) : 0;
    if (!valid) {
        log.add_line("Unable to create display buffer");
        return;
    }
    for (color_type **buffer : {&f.last_frame, &store.temp_frame, &f.save_frame}) {
        if (!make_buffer(*buffer, frame_bytes(f))) {
            log.add_line("Unable to create display buffer");
            return;
        }
    }
}

void process_stop(FrameStore &store) {
    free_buffer(store.frames.last_frame);
    free_buffer(store.temp_frame);
    free_buffer(store.frames.save_frame);
}

void clear_buffers(FrameStore &store) {
    FrameLock lock(store);
    size_t n = frame_bytes(store.frames);
    for (color_type *buffer :
         {store.camera_buffer, store.temp_frame, store.frames.last_frame, store.frames.save_frame}) {
        if (buffer) std::memset(buffer, 0, n);
    }
}

void swap(color_type *&a, color_type *&b) {
    color_type *t = a;
    a = b;
    b = t;
}

namespace {

// The chain in bands of rows (pipeline/chain.h), giving the bytes of one
// filter after the other over whole frames: the steps that have a banded
// form are gathered and run together; a step without one (Canny, or a
// filter whose fast path does not apply) runs over the whole frame between
// two such runs. The flags and thresholds are read once each, in chain order.
// Once the store's stop flag cuts a run short, nothing after it runs.
class banded_chain {
  public:
    banded_chain(FrameStore &store, const FilterSettings &settings)
        : f_(store.frames),
          settings_(settings),
          source_(store.camera_buffer),
          destination_(store.temp_frame),
          save_(store.frames.save_frame),
          columns_(store.frames.size_x <= FrameStore::banded_columns ? store.column_classes : nullptr),
          band_rows_(store.chain_band_rows),
          stop_(store.stopping) {}

    // False when the stop flag cut the frame short.
    bool run() {
        const size_t n = frame_bytes(f_);
        bool any = false;
        for (const filter_entry &e : filter_registry) any = any || (settings_.*e.flag).load();
        if (f_.size_x < min_filter_size || f_.size_y < min_filter_size || !f_.last_frame || !any) {
            // Just the two copies: plain ones are cheaper than waking the
            // chain for small frames.
            parallel_copy(save_, source_, n);
            parallel_copy(destination_, source_, n);
            return true;
        }
        add_copy(source_, save_);
        for (const filter_entry &e : filter_registry)
            if ((settings_.*e.flag).load()) step(e);
        add_copy(source_, destination_);
        flush();
        return !cut_;
    }

  private:
    void step(const filter_entry &e) {
        if (cut()) return;
        const chain_args args{f_,
                              source_,
                              destination_,
                              settings_.threshold_1.load(),
                              settings_.threshold_2.load(),
                              settings_.d_frame.load(),
                              columns_,
                              sums_};
        const unsigned int made = e.make(args, &steps_[count_]);
        if (made == 0) {
            flush();
            if (cut()) return;
            e.make(args, nullptr);
        } else if (e.finish) {
            // Every row of the step first (the tracker's crosshair spans the frame).
            const filter_rows whole = steps_[count_];
            count_ += made;
            flush();
            if (cut()) return;
            e.finish(whole);
            swap(source_, destination_);
            return;
        }
        count_ += made;
        swap(source_, destination_);
    }
    void add_copy(const color_type *from, color_type *to) { copy_rows(f_, steps_[count_++], from, to); }
    void flush() {
        const size_t row_bytes = static_cast<size_t>(f_.size_x) * 3;
        if (!cut_ && !run_chain(steps_, count_, f_.size_y, row_bytes, band_rows_, &stop_)) cut_ = true;
        count_ = 0;
    }
    // Whether the stop flag has cut the frame short; read before each step
    // that runs outside the banded runner.
    bool cut() {
        if (!cut_ && stop_.load()) cut_ = true;
        return cut_;
    }

    const frame_set &f_;
    const FilterSettings &settings_;
    filter_rows steps_[chain_max_steps];
    unsigned int count_ = 0;
    color_type *source_;
    color_type *destination_;
    color_type *save_;
    uint8_t *columns_;
    unsigned int band_rows_;
    const std::atomic<bool> &stop_;
    bool cut_ = false;
    std::atomic<uint64_t> sums_[3];
};

}  // namespace

bool process_frame(FrameStore &store, const FilterSettings &settings) {
    if (store.stopping.load()) return false;
    // Without the work buffers there is nothing to copy into.
    if (!store.camera_buffer || !store.temp_frame || !store.frames.save_frame) return true;
    banded_chain chain(store, settings);
    return chain.run();
}

void show_filters(const FilterSettings &settings, StatusLog &log) {
    const filter_entry *by_overlay[filter_count] = {};
    for (const filter_entry &e : filter_registry) by_overlay[e.overlay] = &e;
    char line[160] = "Filters: ";
    for (const filter_entry *e : by_overlay) {
        if ((settings.*e->flag).load()) std::strncat(line, e->name, sizeof line - std::strlen(line) - 1);
    }
    log.add_line(line);
}
