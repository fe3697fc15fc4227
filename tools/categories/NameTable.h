// CNameTable: a flat hash table from names (domains, or host-and-path URLs) to a 32-bit
// value, built once and then only read.
//
// The names are not copied: each slot points into text that the owner keeps alive and
// unmoved for the table's life (the list files read whole into memory). Open addressing
// with linear probing over a power-of-two array of 16-byte slots keeps a million names
// in one allocation, and a look-up is a hash, almost always one cache line of slots, and
// one comparison of text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

class CNameTable {
public:
    // Makes room for `count` names in all without growing while they are added.
    void Reserve(std::size_t count);

    static constexpr std::size_t kMaxNameLength = 0xFFFF;

    // The value slot of `name`, added with `value` when the name is new (*pbAdded tells
    // which). The name's bytes must outlive the table. Names longer than kMaxNameLength
    // are refused (null).
    std::uint32_t* FindOrAdd(std::string_view name, std::uint32_t value, bool* pbAdded);

    // The value of `name`, or null when it is not in the table.
    const std::uint32_t* Find(std::string_view name) const;

    std::size_t Size() const { return m_count; }

private:
    struct Slot {
        const char* pName = nullptr;  // null: empty slot
        std::uint16_t length = 0;
        // The hash's top bits: most slots that are not the name are passed over without
        // touching the name's text, which is elsewhere in memory.
        std::uint16_t tag = 0;
        std::uint32_t value = 0;
    };

    static std::size_t Hash(std::string_view name);
    static std::uint16_t Tag(std::size_t hash) {
        return static_cast<std::uint16_t>(hash >> (8 * sizeof(std::size_t) - 16));
    }
    std::size_t Probe(std::string_view name, std::size_t hash) const;
    void Grow(std::size_t capacity);

    std::vector<Slot> m_slots;  // size is a power of two, at most half full
    std::size_t m_count = 0;
};
