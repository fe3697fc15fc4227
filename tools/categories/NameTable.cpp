// The flat name table: open addressing, linear probing, at most half full.
#include "tools/categories/NameTable.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <functional>

std::size_t CNameTable::Hash(std::string_view name) {
    return std::hash<std::string_view>{}(name);
}

// The slot that holds `name`, or the empty slot where it belongs.
std::size_t CNameTable::Probe(std::string_view name, std::size_t hash) const {
    const std::size_t mask = m_slots.size() - 1;
    const std::uint16_t tag = Tag(hash);
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
        const Slot& slot = m_slots[i];
        if (!slot.pName)
            return i;
        if (slot.tag == tag && slot.length == name.size() &&
            std::memcmp(slot.pName, name.data(), name.size()) == 0)
            return i;
    }
}

void CNameTable::Grow(std::size_t capacity) {
    std::vector<Slot> old;
    old.swap(m_slots);
    m_slots.assign(capacity, Slot{});
    for (const Slot& slot : old) {
        if (slot.pName) {
            // Names are unique: the first empty slot of the run is the place.
            const std::size_t mask = m_slots.size() - 1;
            std::size_t i = Hash(std::string_view(slot.pName, slot.length)) & mask;
            while (m_slots[i].pName)
                i = (i + 1) & mask;
            m_slots[i] = slot;
        }
    }
}

void CNameTable::Reserve(std::size_t count) {
    const std::size_t capacity = std::bit_ceil(std::max<std::size_t>(16, 2 * count));
    if (capacity > m_slots.size())
        Grow(capacity);
}

std::uint32_t* CNameTable::FindOrAdd(std::string_view name, std::uint32_t value, bool* pbAdded) {
    *pbAdded = false;
    if (name.size() > kMaxNameLength)
        return nullptr;
    if (2 * (m_count + 1) > m_slots.size())
        Grow(std::max<std::size_t>(16, 2 * m_slots.size()));
    const std::size_t hash = Hash(name);
    Slot& slot = m_slots[Probe(name, hash)];
    if (!slot.pName) {
        // An empty name still needs a non-null pointer to mark the slot as used.
        slot.pName = name.data() ? name.data() : "";
        slot.length = static_cast<std::uint16_t>(name.size());
        slot.tag = Tag(hash);
        slot.value = value;
        ++m_count;
        *pbAdded = true;
    }
    return &slot.value;
}

const std::uint32_t* CNameTable::Find(std::string_view name) const {
    if (m_slots.empty() || name.size() > kMaxNameLength)
        return nullptr;
    const Slot& slot = m_slots[Probe(name, Hash(name))];
    return slot.pName ? &slot.value : nullptr;
}
