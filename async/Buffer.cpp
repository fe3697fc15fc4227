// The buffer's growth and its position checks.
#include "async/Buffer.h"

#include <cstdlib>
#include <cstring>
#include <limits>

#include "com/DiagnosticLog.h"

CBuffer::CBuffer(std::uint32_t size) {
    if (size == 0)
        return;
    m_base = static_cast<unsigned char*>(std::malloc(size));
    if (m_base)
        m_capacity = size;
}

CBuffer::~CBuffer() {
    std::free(m_base);
}

bool CBuffer::consume(std::uint32_t n) {
    if (CheckExpression(n > length()))
        return false;
    m_head += n;
    return true;
}

bool CBuffer::set_data(const unsigned char* p) {
    if (CheckExpression(p < data() || p > write_ptr()))
        return false;
    m_head = static_cast<std::uint32_t>(p - m_base);
    return true;
}

bool CBuffer::commit(std::uint32_t n) {
    if (CheckExpression(n > free_space()))
        return false;
    m_tail += n;
    return true;
}

bool CBuffer::set_write_ptr(const unsigned char* p) {
    if (CheckExpression(p < data() || p > m_base + m_capacity))
        return false;
    m_tail = static_cast<std::uint32_t>(p - m_base);
    return true;
}

int CBuffer::space(std::uint32_t n) {
    if (free_space() >= n)
        return 0;
    // Positions are 32-bit: a block that would pass 4 GiB cannot be described.
    if (CheckExpression(n > std::numeric_limits<std::uint32_t>::max() - m_tail))
        return -1;
    const std::uint32_t size = m_tail + n;
    auto* new_base = static_cast<unsigned char*>(std::realloc(m_base, size));
    if (CheckExpression(!new_base))
        return -1;
    m_base = new_base;
    m_capacity = size;
    return 0;
}

int CBuffer::append(const void* bytes, long length) {
    if (length == 0)
        return 0;
    if (CheckExpression(!bytes || length < -1))
        return -1;
    const std::size_t n = length == -1 ? std::strlen(static_cast<const char*>(bytes))
                                       : static_cast<std::size_t>(length);
    if (CheckExpression(n > std::numeric_limits<std::uint32_t>::max()))
        return -1;
    if (space(static_cast<std::uint32_t>(n)) != 0)
        return -1;
    if (n > 0)
        std::memcpy(write_ptr(), bytes, n);
    m_tail += static_cast<std::uint32_t>(n);
    return 0;
}
