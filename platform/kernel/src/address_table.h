// A table of records by address for the kernel's bookkeeping of live pool
// blocks and IRPs: open addressing with linear probing, so that recording an
// allocation costs a few instructions and no allocation of its own. Not
// locked: its owner holds its own lock around every call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace wrk::detail {

template <class Value>
class AddressTable {
public:
    AddressTable() : slots_(kInitialSlots) {}

    // Null when the address is not in the table.
    Value* Find(const void* address) {
        for (size_t i = Home(address);; i = Next(i)) {
            if (slots_[i].address == address) return &slots_[i].value;
            if (slots_[i].address == nullptr) return nullptr;
        }
    }

    // The address must not be in the table yet.
    void Insert(const void* address, const Value& value) {
        if ((count_ + 1) * 2 > slots_.size()) Grow();
        size_t i = Home(address);
        while (slots_[i].address != nullptr) i = Next(i);
        slots_[i] = Slot{address, value};
        ++count_;
    }

    // False when the address was not in the table.
    bool Erase(const void* address) {
        size_t hole = Home(address);
        while (slots_[hole].address != address) {
            if (slots_[hole].address == nullptr) return false;
            hole = Next(hole);
        }
        // Moves back every later entry of the run whose home lies at or
        // before the hole, so that no search stops early at the hole.
        for (size_t i = Next(hole); slots_[i].address != nullptr; i = Next(i)) {
            const size_t home = Home(slots_[i].address);
            if (((i - home) & Mask()) >= ((i - hole) & Mask())) {
                slots_[hole] = slots_[i];
                hole = i;
            }
        }
        slots_[hole] = Slot{};
        --count_;
        return true;
    }

    size_t Size() const { return count_; }

    template <class Visit>
    void ForEach(Visit visit) const {
        for (const Slot& slot : slots_)
            if (slot.address != nullptr) visit(slot.address, slot.value);
    }

private:
    static constexpr size_t kInitialSlots = 1024;

    struct Slot {
        const void* address = nullptr;
        Value value{};
    };

    size_t Mask() const { return slots_.size() - 1; }
    size_t Next(size_t i) const { return (i + 1) & Mask(); }
    size_t Home(const void* address) const {
        // Blocks are 16-byte aligned: the low bits carry nothing.
        const uint64_t key = reinterpret_cast<uintptr_t>(address) >> 4;
        return static_cast<size_t>((key * 0x9E3779B97F4A7C15ull) >> 32) & Mask();
    }

    void Grow() {
        std::vector<Slot> old(slots_.size() * 2);
        old.swap(slots_);
        count_ = 0;
        for (const Slot& slot : old)
            if (slot.address != nullptr) Insert(slot.address, slot.value);
    }

    std::vector<Slot> slots_;
    size_t count_ = 0;
};

// The last addresses given back, so that a second free of one is told from
// a call on memory that never came from the kernel. Asked only when such a
// call is being reported, so remembering costs one store.
template <size_t Capacity>
class RecentAddresses {
public:
    void Note(const void* address) {
        addresses_[next_ % Capacity] = address;
        ++next_;
    }

    bool Contains(const void* address) const {
        const size_t count = next_ < Capacity ? next_ : Capacity;
        for (size_t i = 0; i < count; ++i)
            if (addresses_[i] == address) return true;
        return false;
    }

private:
    const void* addresses_[Capacity] = {};
    size_t next_ = 0;
};

}  // namespace wrk::detail
