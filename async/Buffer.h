// CBuffer: the growable byte buffer that every socket read and write goes through.
//
// The content is the bytes between a consumed head and a written tail. Readers receive
// into the free space after the tail and commit what arrived; parsers and writers take
// bytes from the head and consume them. Consumed bytes are never moved to the front: a
// buffer only grows (to exactly what `space` is asked for) until its owner discards it,
// so pointers into the content stay valid until the next `space` or `append`.
//
// A buffer has exactly one owner at a time (a reader, a writer, a connection); it is
// handed on explicitly and is not safe for concurrent use.
#pragma once

#include <cstdint>

class CBuffer {
public:
    // An empty buffer of `size` bytes of capacity. A failed allocation leaves an empty
    // buffer of capacity 0 (not an error: `space` tries again when bytes are needed).
    explicit CBuffer(std::uint32_t size = 0);
    ~CBuffer();
    CBuffer(const CBuffer&) = delete;
    CBuffer& operator=(const CBuffer&) = delete;

    // The content: `length()` bytes from `data()`.
    unsigned char* data() const { return m_base + m_head; }
    std::uint32_t length() const { return m_tail - m_head; }
    // Marks `n` bytes of the content as consumed. False (logged, nothing changed) when
    // `n` exceeds the content.
    bool consume(std::uint32_t n);
    // Makes `p`, a pointer into the content or just past it, the new start of the content.
    bool set_data(const unsigned char* p);

    // Where the next bytes go, and how many fit there.
    unsigned char* write_ptr() const { return m_base + m_tail; }
    std::uint32_t free_space() const { return m_capacity - m_tail; }
    // Adds `n` bytes written at `write_ptr()` to the content. False (logged, nothing
    // changed) when `n` exceeds the free space.
    bool commit(std::uint32_t n);
    // Makes `p`, a pointer between the content's start and the end of the block, the new
    // end of the content.
    bool set_write_ptr(const unsigned char* p);

    std::uint32_t capacity() const { return m_capacity; }

    // Makes sure that `n` bytes are free after the tail: 0 when they already are,
    // otherwise the block becomes exactly tail + n bytes (content and positions kept) and
    // 0 is returned. -1 (logged, buffer unchanged) when the block cannot grow.
    int space(std::uint32_t n);

    // Appends `length` bytes, or with -1 the zero-terminated string at `bytes` without its
    // terminator. 0 on success; -1 (logged, nothing appended) when there is no room.
    int append(const void* bytes, long length = -1);

private:
    unsigned char* m_base = nullptr;
    std::uint32_t m_head = 0;      // first byte not yet consumed
    std::uint32_t m_tail = 0;      // one past the last byte written
    std::uint32_t m_capacity = 0;  // size of the block at m_base
};
