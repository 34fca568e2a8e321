// The rendering engine's single object: the loaded patterns, the sequences
// that play them, one buffer of samples per actuator of the layout, and the
// settings of every render (sample rate, global boost, pause). Its operations
// form the engine's C-style API.
//
// Threads: not thread-safe and takes no lock. The owner (the streaming
// back-end) serialises every call and every render_buffer under one mutex.
// Nothing here calls back into the owner except the engine log callback,
// which runs on the calling thread.
//
// Errors: operations return the engine codes (-92 to -100), a default value or
// log a line; none throws. An id that the table does not hold is logged as the
// warning "entry not allocated (invalid map<K, T> key)".
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tessaron-core/src/model/IBufferFiller.h"
#include "tessaron-core/src/pattern/PatternLoader.h"
#include "tessaron-core/src/spatial/Layout.h"
#include "tessaron-core/src/spatial/SpatialProperties.h"
#include "tessaron-core/src/tsr/IdTable.h"
#include "tessaron-core/src/tsr/SequenceEntry.h"
#include "tessaron-core/src/tsr/engine_codes.h"

namespace tsr {

class TessaronCore {
public:
    // Keeps a share of the layout and makes one buffer of bufferSize samples
    // per actuator (bufferSize 0 is taken as 1, with a warning). The rate is
    // taken as given.
    TessaronCore(std::shared_ptr<ILayout> layout, double sampleRate, std::size_t bufferSize);

    // Rates not above 0 (NaN included) are refused with a warning.
    void config_sample_rate_set(double rate);
    double config_sample_rate_get() const { return sampleRate_; }
    // Resizes every buffer (0 as 1, with a warning); kept samples unchanged.
    void config_buffer_size_set(std::size_t n);
    // Length of the buffers; 0 when the layout has no actuator.
    std::size_t config_buffer_size_get() const;
    void config_global_boost_set(double boost);
    double config_global_boost_get() const { return globalBoost_; }

    // The id (>= 0), -99 for an invalid text, -100 for a negative id other
    // than -1, -97 for an id in use.
    int pattern_load_from_vpt(const std::string& json, int id);
    // pattern_load_from_vpt's second half, for a text already read with
    // loadPatternFromJson (which may run without the owner's lock): stores the
    // entry under id, -99 when it is not valid. The entry is moved from only
    // on success, so a refused one is freed by the caller.
    int pattern_insert(PatternEntry&& entry, int id);
    // Always 0; sequences of the pattern play on.
    int pattern_unload(int id);
    bool pattern_is_allocated(int id);
    // 0.0 for an absent id (warns).
    double pattern_boost_get(int id);
    // 0 for an absent id (warns); counts beyond INT_MAX saturate.
    int pattern_get_max_simultaneous_effects(int id);
    // Raises the next automatic pattern id to n; returns the next automatic id.
    int pattern_reserve_id_range(int n);

    // The new sequence's id, or -95 (no such pattern), -100, -97 (as for
    // patterns), -99 (the pattern's tree cannot be built).
    int sequence_new(int patternId, bool autoDelete, int sequenceId);
    // 0, -96 (absent, warns), -100 (negative times), -93 (already playing).
    int sequence_play(int id, double playAt, double latency);
    // Duration 0 stops at once; otherwise a linear fade over that many seconds
    // (a negative one, or one shorter than half a sample, silences it at once).
    // 0 or -96 (absent, warns).
    int sequence_stop(int id, double fadeOutDuration);
    // 1 playing, 2 fading out, 3 not playing; 0 for an absent id (warns).
    int sequence_state_get(int id);
    // -96 for an absent id (warns).
    int sequence_pattern_id_get(int id);
    // false for an absent id (warns).
    bool sequence_mute_get(int id);
    // The sequence's spatial record, to fill right after sequence_new; valid
    // until the sequence is removed. Null for an absent id (warns).
    SpatialProperties* sequence_properties_get(int id);

    // Setters warn for an absent id and take effect at the next render.
    // Negative (and NaN) volumes, speeds, delays and durations are stored as 0.
    void property_volume_set(int id, double volume);
    void property_speed_set(int id, double speed);
    // 0: endless.
    void property_repeat_count_set(int id, unsigned count);
    void property_repeat_delay_set(int id, double seconds);
    // 0: no cut-off.
    void property_max_duration_set(int id, double seconds);
    // Stored as given (NaN counts as no boost at render time).
    void property_boost_set(int id, double boost);

    void set_pause(bool paused);
    bool paused() const { return paused_; }
    // sequence_stop's rule on every sequence, in id order.
    void stop_all(double fadeOutDuration);
    // Removes the auto-delete sequence id when it has ended, as the next
    // render would; true when it did. Silent for an absent id. For owners
    // that stop sequences while no render runs.
    bool sequence_remove_if_ended(int id);
    // The same for every sequence; returns how many went.
    std::size_t sequence_remove_ended();

    // Renders one buffer per actuator from every playing sequence (in id
    // order), clamps to [-1, 1] (NaN as 0), removes ended auto-delete
    // sequences and advances the engine clock. While paused: silence, nothing
    // advances. Allocates nothing in steady state.
    void render_buffer();
    const ActuatorBuffers& buffers_get() const { return buffers_; }
    const std::shared_ptr<ILayout>& layout_get() const { return layout_; }
    uint32_t layout_actuator_count() const;

    // For tests and the owner's diagnostics.
    const IdTable<PatternEntry>& patterns() const { return patterns_; }
    const IdTable<SequenceEntry>& sequences() const { return sequences_; }

private:
    SequenceEntry* findSequence(int id, int line);
    void warnAbsent(int line);
    double stepForDuration(double seconds) const;

    double sampleRate_;
    double globalBoost_ = 0.0;
    bool paused_ = false;
    std::shared_ptr<ILayout> layout_;
    ActuatorBuffers buffers_;
    // The buffer length, kept also while the layout has no actuator.
    std::size_t bufferSize_ = 1;
    IdTable<PatternEntry> patterns_;
    IdTable<SequenceEntry> sequences_;
};

}  // namespace tsr
