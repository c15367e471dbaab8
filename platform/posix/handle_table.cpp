// The process's table of kernel-object handles.
#include <cstring>

#include "backend.h"

namespace ov::backend {

namespace {

// Enough for a logger's three objects and a client's open ones many times
// over; Windows' own per-process limit is far higher, but the library opens
// at most four at a time.
constexpr std::size_t slot_count = 256;

constinit object_slot slots[slot_count];

constexpr std::uint32_t as_state(object_kind kind) { return static_cast<std::uint32_t>(kind); }

// The slot a handle names, or nullptr when the value is not the address of
// one (compared as integers: a forged handle is never dereferenced).
object_slot* slot_of(handle h) noexcept {
    auto value = reinterpret_cast<std::uintptr_t>(h);
    auto base = reinterpret_cast<std::uintptr_t>(&slots[0]);
    if (value < base || value >= base + sizeof slots) return nullptr;
    if ((value - base) % sizeof(object_slot) != 0) return nullptr;
    return &slots[(value - base) / sizeof(object_slot)];
}

void reset_fields(object_slot* slot) noexcept {
    slot->fd = -1;
    slot->memory = nullptr;
    slot->memory_size = 0;
    slot->object_size = 0;
    slot->checked_ns = 0;
    slot->access = 0;
    slot->on_close = nullptr;
    slot->device = 0;
    slot->inode = 0;
    std::memset(slot->file_name, 0, sizeof slot->file_name);
}

}  // namespace

object_slot* claim_slot() noexcept {
    for (auto& slot : slots) {
        std::uint32_t expected = as_state(object_kind::free);
        if (slot.state.compare_exchange_strong(expected, as_state(object_kind::busy), std::memory_order_acquire)) {
            reset_fields(&slot);
            return &slot;
        }
    }
    set_last_error(err::too_many_open_files);
    return nullptr;
}

handle publish_slot(object_slot* slot, object_kind kind) noexcept {
    slot->state.store(as_state(kind), std::memory_order_release);
    return slot;
}

object_slot* find_slot(handle h, object_kind kind) noexcept {
    object_slot* slot = slot_of(h);
    if (slot == nullptr || slot->state.load(std::memory_order_acquire) != as_state(kind)) {
        set_last_error(err::invalid_handle);
        return nullptr;
    }
    return slot;
}

object_slot* take_slot(handle h, object_kind kind, object_kind other_kind) noexcept {
    object_slot* slot = slot_of(h);
    if (slot != nullptr) {
        for (object_kind k : {kind, other_kind}) {
            std::uint32_t expected = as_state(k);
            if (slot->state.compare_exchange_strong(expected, as_state(object_kind::busy),
                                                    std::memory_order_acquire))
                return slot;
        }
    }
    set_last_error(err::invalid_handle);
    return nullptr;
}

void release_slot(object_slot* slot) noexcept {
    reset_fields(slot);
    slot->state.store(as_state(object_kind::free), std::memory_order_release);
}

}  // namespace ov::backend
